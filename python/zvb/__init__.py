"""Reading ZVB files and zvbtrack's trajectories with numpy.

    import zvb
    root = zvb.open("trajectories.zvb")           # the tree; arrays mapped from the file
    for identifier, arrays in zvb.trajectories("trajectories.zvb"):
        ...                                        # arrays["x"], arrays["time"], ...
    table = zvb.to_pandas("trajectories.zvb")     # one row per sample (needs pandas)
    some = zvb.table("trajectories.zvb", ids="10..20", columns=["ID", "time", "x"],
                     window=(0.5, None))           # chosen trajectories, columns and samples
    data = zvb.to_xarray("trajectories.zvb")      # the ragged trajectory layout (needs xarray)
"""

from .dump_import import DumpError, convert as from_dump
from .format import FormatError
from .ragged import to_xarray
from .reader import File, Header, Node, open
from .tracks import contents, table, to_pandas, trajectories, write_csv
from .writer import Writer

__all__ = ["DumpError", "File", "FormatError", "Header", "Node", "Writer", "contents",
           "from_dump", "open", "table", "to_pandas", "to_xarray", "trajectories", "write_csv"]
__version__ = "1.0.0"
