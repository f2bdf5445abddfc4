"""Helpers shared by the snapshot, class and dictionary-export tests.

Prices files are built from Python dicts, one JSON message per line.
"""

import json
import math


import palisar

MARKET_ID = "1.234567"
# 9999-12-31 23:59:59.999 is the last millisecond a datetime can show.
LAST_MS = 253402300799999

from recorded import RECORDED_MARKETS as REAL_FILES, recorded_file as real_file  # noqa: F401


def message(pt, *changes):
    """A stream message with publish time `pt` and the given market changes."""
    return {"op": "mcm", "pt": pt, "mc": list(changes)}


def change(market_id=MARKET_ID, **keys):
    """A market change for `market_id` with the given keys."""
    return {"id": market_id, **keys}


def write_prices(tmp_path, messages, name="prices.json"):
    path = tmp_path / name
    path.write_text("".join(json.dumps(m) + "\n" for m in messages))
    return str(path)


def open_prices(tmp_path, messages, name="prices.json"):
    return palisar.iter_prices_file(write_prices(tmp_path, messages, name))


def replay(tmp_path, messages, name="prices.json"):
    """All snapshots of the file made from `messages`."""
    return list(open_prices(tmp_path, messages, name))


def runner_changes(pt, *rcs, **keys):
    """A message holding one market change with the given runner changes."""
    return message(pt, change(rc=list(rcs), **keys))


def pairs(price_sizes):
    return [(ps.price, ps.size) for ps in price_sizes]


def positional(x):
    """The shortest round-trip digits of a finite float, written without an
    exponent and without a fraction when it has no non-zero fractional digit."""
    assert math.isfinite(x)
    text = repr(x)
    sign = "-" if text.startswith("-") else ""
    text = text.lstrip("-")
    if "e" in text:
        mantissa, exponent = text.split("e")
        exponent = int(exponent)
        whole, _, fraction = mantissa.partition(".")
        digits = whole + fraction
        point = len(whole) + exponent
        if point <= 0:
            text = "0." + "0" * -point + digits
        elif point >= len(digits):
            text = digits + "0" * (point - len(digits))
        else:
            text = digits[:point] + "." + digits[point:]
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return sign + text


def full_definition(**overrides):
    """A market definition with every key the module reads."""
    definition = {
        "bspMarket": True,
        "turnInPlayEnabled": True,
        "persistenceEnabled": False,
        "marketBaseRate": 5,
        "eventId": "31573045",
        "eventTypeId": "4339",
        "numberOfWinners": 2,
        "bettingType": "ODDS",
        "marketType": "PLACE",
        "marketTime": "2024-01-02T03:04:05.678Z",
        "suspendTime": "2024-01-02T03:04:05Z",
        "openDate": "2024-01-01T12:00:00.000Z",
        "settledTime": "2024-01-02T04:00:00.000Z",
        "bspReconciled": True,
        "complete": False,
        "inPlay": True,
        "crossMatching": False,
        "runnersVoidable": True,
        "numberOfActiveRunners": 99,
        "betDelay": 5,
        "status": "SUSPENDED",
        "venue": "Romford",
        "countryCode": "GB",
        "timezone": "Europe/London",
        "eventName": "Romf 19th Apr",
        "name": "A4 480m",
        "raceType": "Flat",
        "eachWayDivisor": 4,
        "discountAllowed": True,
        "regulators": ["MR_INT", "GB_GC"],
        "version": 4497303871,
        "runners": [
            {"id": 44331354, "sortPriority": 1, "status": "ACTIVE", "name": "1. Swift",
             "adjustmentFactor": 16.7, "bsp": 3.25},
            {"id": 36276560, "sortPriority": 2, "status": "REMOVED", "hc": -1.5,
             "removalDate": "2024-01-02T02:00:00.000Z", "adjustmentFactor": 4.2},
        ],
    }
    definition.update(overrides)
    return definition
