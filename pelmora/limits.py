"""What one request of the HQ protocol can carry: the page sizes real servers answer with."""

LIST_PAGE = 1000         # securities per security-list page
BAR_PAGE = 800           # K-line bars per request
TRANSACTION_PAGE = 2000  # ticks per request
QUOTE_PAGE = 80          # securities per quote request
