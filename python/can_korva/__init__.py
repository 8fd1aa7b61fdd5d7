"""python-can interface "korva": CAN adapters served by korva_api.

    import can
    with can.Bus(interface="korva", channel="ttyUSB0", bitrate=500000) as bus:
        print(bus.recv(1.0))
"""
import importlib.metadata

from .bus import BATCH, SPEED_CODES, FramesLostWarning, KorvaBus, detect_adapters

try:
    __version__ = importlib.metadata.version("python-can-korva")
except importlib.metadata.PackageNotFoundError:  # imported from the source tree, not installed
    __version__ = "unknown"

__all__ = ["KorvaBus", "FramesLostWarning", "detect_adapters", "SPEED_CODES", "BATCH", "__version__"]
