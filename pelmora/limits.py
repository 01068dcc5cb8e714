"""What the HQ protocol and the engine allow: the page sizes real servers answer with, how far
back a request reaches, how many connections a pool opens. The library and the command line
both take their limits from here."""

LIST_PAGE = 1000         # securities per security-list page
BAR_PAGE = 800           # K-line bars per request
TRANSACTION_PAGE = 2000  # ticks per request
QUOTE_PAGE = 80          # securities per quote request

MAX_OFFSET = 0xFFFF      # the furthest back a bars or ticks request can start (16 bits)
# The most bars a count can reach: the page starting at the last offset a request can name.
MAX_BARS = (MAX_OFFSET // BAR_PAGE + 1) * BAR_PAGE
MAX_CONNECTIONS = 256    # connections of one pool (the engine refuses more)
MAX_PRICE_DECIMALS = 6   # decimals of a local .day file's integer prices
