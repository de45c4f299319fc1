"""qorio: Varnel units through qorservice, from Python (ctypes over libqorio.so.9).

    from qorio import Service
    with Service() as svc:
        with svc.connect("02:00:00:00:04:01") as unit:
            with unit.serial(1, baud=14) as uart:
                uart.write(b"hello")
"""
from .channels import Ai, Ao, Dio, Mai, Serial
from .errors import ERR_MISSING_CALL, QorioError
from .service import Channel, Mapping, Nic, Service, Unit, UnitInfo, mac_bytes, mac_text

__all__ = ["Service", "Unit", "Serial", "Dio", "Ai", "Ao", "Mai", "QorioError", "ERR_MISSING_CALL", "Nic",
           "UnitInfo", "Channel", "Mapping", "mac_bytes", "mac_text"]
