"""What the HQ protocol and the engine allow: the page sizes real servers answer with, how far
back a request reaches, how many connections a pool opens. The engine checks its requests
against these; the library and the command line take them from here."""
from ._engine import (BAR_PAGE, LIST_PAGE, MAX_CONNECTIONS, MAX_OFFSET, QUOTE_PAGE,
                      TRANSACTION_PAGE)

# BAR_PAGE: K-line bars per request; LIST_PAGE: securities per security-list page;
# TRANSACTION_PAGE: ticks per request; QUOTE_PAGE: securities per quote request; MAX_OFFSET:
# the furthest back a bars or ticks request can start (16 bits); MAX_CONNECTIONS: connections
# of one pool.

# The most bars a count can reach: the page starting at the last offset a request can name.
MAX_BARS = (MAX_OFFSET // BAR_PAGE + 1) * BAR_PAGE
MAX_PRICE_DECIMALS = 6   # decimals of a local .day file's integer prices

__all__ = ["BAR_PAGE", "LIST_PAGE", "TRANSACTION_PAGE", "QUOTE_PAGE", "MAX_OFFSET", "MAX_BARS",
           "MAX_CONNECTIONS", "MAX_PRICE_DECIMALS"]
