"""The old name of `pelmora.files`: the local files' readers, importable from here as before."""
from .files import (PERIOD_FILES, between, find_files, price_divisor, read_day_frame,
                    read_minute_frame, read_vipdoc, symbol_of_file)

__all__ = ["read_day_frame", "read_minute_frame", "read_vipdoc", "find_files", "price_divisor",
           "symbol_of_file", "between", "PERIOD_FILES"]
