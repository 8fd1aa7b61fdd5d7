"""python-can interface "korva": CAN adapters served by korva_api.

    import can
    with can.Bus(interface="korva", channel="ttyUSB0", bitrate=500000) as bus:
        print(bus.recv(1.0))
"""
from .bus import BATCH, SPEED_CODES, FramesLostWarning, KorvaBus, detect_adapters

__all__ = ["KorvaBus", "FramesLostWarning", "detect_adapters", "SPEED_CODES", "BATCH"]
