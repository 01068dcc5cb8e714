"""`HQ`, the client of a pool of HQ servers (`pelmora.hq.client`), and the modules it is made
of: the security lists, the paging of bars, the adjusted bars, the frames of each command."""
from ..exceptions import DataWarning
from .client import HQ
from .paging import count_pages

__all__ = ["HQ", "DataWarning", "count_pages"]
