#!/usr/bin/env python3
"""Pure-Python replay of a prices file: what a careful user writes without palisar.

    python bench/baseline.py FILE [--consumer]

One JSON message per line (gzip when the name ends in .gz or .gzip), one
market cache of dictionaries, one snapshot per message. Only the runners and
ladders that a message touched are rebuilt; every other runner of the
snapshot is the same object as in the previous snapshot, so a kept snapshot
never changes afterwards.

The replay follows the module's rules for what is observable through best
prices: a zero size removes a level; available to back is listed highest
price first, available to lay and traded volume lowest first; an image
("img": true) drops every runner; runners are keyed by selection id and
handicap in hundredths (rounded half away from zero) and listed in that
order; definition runners create runners that have no prices yet.

Functions for a timing harness:

- iter_books(path): generator of MarketBook snapshots;
- replay(path): iterate without looking at the snapshots, returns the count;
- replay_consume(path): the light consumer: best back, best lay and last
  traded price of every runner of every snapshot; returns (count, checksum).
"""

import argparse
import datetime
import gzip
import json
import math
import os
import sys
from collections import namedtuple

_EPOCH = datetime.datetime(1970, 1, 1)
_MS = datetime.timedelta(milliseconds=1)

Runner = namedtuple(
    "Runner",
    "selection_id handicap status adjustment_factor last_price_traded total_matched "
    "removal_date available_to_back available_to_lay traded_volume "
    "near_price far_price actual_sp back_stake_taken lay_liability_taken",
)


class MarketBook:
    __slots__ = (
        "market_id", "publish_time", "publish_time_epoch", "status", "inplay",
        "bet_delay", "version", "complete", "cross_matching", "bsp_reconciled",
        "runners_voidable", "total_matched", "last_match_time", "number_of_runners",
        "number_of_active_runners", "number_of_winners", "market_definition", "runners",
    )


class _RunnerState:
    __slots__ = (
        "selection_id", "handicap", "status", "adjustment_factor", "ltp", "tv",
        "removal_date", "near", "far", "bsp", "atb", "atl", "trd", "spb", "spl",
        "back", "lay", "traded", "runner", "dirty", "dirty_back", "dirty_lay", "dirty_traded",
    )

    def __init__(self, selection_id, handicap):
        self.selection_id = selection_id
        self.handicap = handicap
        self.status = "ACTIVE"
        self.adjustment_factor = None
        self.ltp = None
        self.tv = 0.0
        self.removal_date = None
        self.near = self.far = self.bsp = None
        self.atb = {}
        self.atl = {}
        self.trd = {}
        self.spb = {}
        self.spl = {}
        self.back = self.lay = self.traded = None
        self.runner = None
        self.dirty = self.dirty_back = self.dirty_lay = self.dirty_traded = True


def _hc_key(hc):
    x = hc * 100.0
    if x != x:
        return 0
    return int(math.floor(x + 0.5)) if x >= 0 else -int(math.floor(-x + 0.5))


def _apply(ladder, deltas):
    for price, size in deltas:
        if size:
            ladder[price] = size
        else:
            ladder.pop(price, None)


def _is_int(v):
    return type(v) is int


def _is_num(v):
    return type(v) is float or type(v) is int


def _is_bool(v):
    return type(v) is bool


def _is_str(v):
    return type(v) is str


# market-level keys read from a definition and from the market change itself
_MARKET_FIELDS = (
    ("status", "status", _is_str),
    ("betDelay", "bet_delay", _is_int),
    ("bspReconciled", "bsp_reconciled", _is_bool),
    ("complete", "complete", _is_bool),
    ("crossMatching", "cross_matching", _is_bool),
    ("inPlay", "inplay", _is_bool),
    ("runnersVoidable", "runners_voidable", _is_bool),
    ("version", "version", _is_int),
)


class _Market:
    def __init__(self, market_id):
        self.market_id = market_id
        self.status = "OPEN"
        self.inplay = False
        self.bet_delay = 0
        self.version = 0
        self.complete = True
        self.cross_matching = True
        self.bsp_reconciled = False
        self.runners_voidable = False
        self.total_matched = 0.0
        self.last_match_time = None
        self.number_of_winners = 1
        self.definition = None
        self.runners = {}
        self.order = []
        self.order_dirty = False
        self.pt = 0

    def _runner(self, change):
        sid = change.get("id")
        if not _is_int(sid):
            return None
        hc = change.get("hc")
        hc = float(hc) if _is_num(hc) else 0.0
        key = (sid, _hc_key(hc))
        st = self.runners.get(key)
        if st is None:
            st = self.runners[key] = _RunnerState(sid, hc)
            self.order_dirty = True
        return st

    def _market_fields(self, d):
        for key, attr, check in _MARKET_FIELDS:
            v = d.get(key)
            if v is not None and check(v):
                setattr(self, attr, v)

    def _definition(self, d):
        self.definition = d
        if not isinstance(d, dict):
            return
        self._market_fields(d)
        v = d.get("numberOfWinners")
        if _is_int(v):
            self.number_of_winners = v
        runners = d.get("runners")
        if not isinstance(runners, list):
            return
        for rd in runners:
            if not isinstance(rd, dict):
                continue
            st = self._runner(rd)
            if st is None:
                continue
            v = rd.get("status")
            if isinstance(v, str):
                st.status = v
            st.bsp = rd.get("bsp")
            v = rd.get("adjustmentFactor")
            if _is_num(v):
                st.adjustment_factor = v
            v = rd.get("removalDate")
            if isinstance(v, str):
                st.removal_date = v
            st.dirty = True

    def update(self, mc):
        if not isinstance(mc, dict):
            return
        if mc.get("img") is True:
            self.runners.clear()
            self.order_dirty = True
        if "marketDefinition" in mc:
            self._definition(mc["marketDefinition"])
        self._market_fields(mc)
        v = mc.get("tv")
        if _is_num(v):
            self.total_matched = float(v)
        v = mc.get("lastMatchTime")
        if _is_int(v):
            self.last_match_time = v
        rc = mc.get("rc")
        if not rc or not isinstance(rc, list):
            return
        for change in rc:
            if not isinstance(change, dict):
                continue
            st = self._runner(change)
            if st is None:
                continue
            st.dirty = True
            deltas = change.get("atb")
            if deltas:
                _apply(st.atb, deltas)
                st.dirty_back = True
            deltas = change.get("atl")
            if deltas:
                _apply(st.atl, deltas)
                st.dirty_lay = True
            deltas = change.get("trd")
            if deltas:
                _apply(st.trd, deltas)
                st.dirty_traded = True
            deltas = change.get("spb")
            if deltas:
                _apply(st.spb, deltas)
            deltas = change.get("spl")
            if deltas:
                _apply(st.spl, deltas)
            v = change.get("ltp")
            if _is_num(v):
                st.ltp = v
            v = change.get("tv")
            if _is_num(v):
                st.tv = v
            v = change.get("status")
            if isinstance(v, str):
                st.status = v
            v = change.get("adjustmentFactor")
            if _is_num(v):
                st.adjustment_factor = v
            v = change.get("removalDate")
            if isinstance(v, str):
                st.removal_date = v
            if "spn" in change:
                st.near = change["spn"]
            if "spf" in change:
                st.far = change["spf"]

    def book(self):
        if self.order_dirty:
            self.order = sorted(self.runners)
            self.order_dirty = False
        runners = []
        active = 0
        for key in self.order:
            st = self.runners[key]
            if st.dirty:
                if st.dirty_back:
                    st.back = sorted(st.atb.items(), reverse=True)
                    st.dirty_back = False
                if st.dirty_lay:
                    st.lay = sorted(st.atl.items())
                    st.dirty_lay = False
                if st.dirty_traded:
                    st.traded = sorted(st.trd.items())
                    st.dirty_traded = False
                st.runner = Runner(
                    st.selection_id, st.handicap, st.status, st.adjustment_factor, st.ltp,
                    float(st.tv), st.removal_date, st.back, st.lay, st.traded,
                    st.near, st.far, st.bsp, sorted(st.spl.items()),
                    sorted(st.spb.items(), reverse=True),
                )
                st.dirty = False
            r = st.runner
            if r.status == "ACTIVE":
                active += 1
            runners.append(r)
        b = MarketBook()
        b.market_id = self.market_id
        b.publish_time_epoch = self.pt
        b.publish_time = _EPOCH + self.pt * _MS
        b.status = self.status
        b.inplay = self.inplay
        b.bet_delay = self.bet_delay
        b.version = self.version
        b.complete = self.complete
        b.cross_matching = self.cross_matching
        b.bsp_reconciled = self.bsp_reconciled
        b.runners_voidable = self.runners_voidable
        b.total_matched = self.total_matched
        b.last_match_time = self.last_match_time
        b.number_of_runners = len(runners)
        b.number_of_active_runners = active
        b.number_of_winners = self.number_of_winners
        b.market_definition = self.definition
        b.runners = runners
        return b


def _open(path):
    name = os.path.basename(path.rstrip("/"))
    if name.endswith((".gz", ".gzip")):
        return gzip.open(path, "rb")
    return open(path, "rb")


def iter_books(path):
    """Yield one MarketBook per usable message of the file."""
    market = None
    loads = json.loads
    with _open(path) as f:
        for line in f:
            if line.isspace():
                continue
            msg = loads(line)
            if not isinstance(msg, dict) or not msg:
                continue
            pt = msg.get("pt")
            if type(pt) is not int or pt < 1:
                continue
            changes = msg.get("mc")
            if not isinstance(changes, list):
                if "marketDefinition" in msg or "rc" in msg:
                    changes = [msg]
                else:
                    continue
            for mc in changes:
                if market is None:
                    mid = mc.get("id") if isinstance(mc, dict) else None
                    if not isinstance(mid, str) or not mid:
                        continue
                    market = _Market(mid)
                market.pt = pt
                market.update(mc)
            if market is not None:
                yield market.book()


def replay(path):
    """Replay without a consumer; returns the number of snapshots."""
    n = 0
    for _ in iter_books(path):
        n += 1
    return n


def replay_consume(path):
    """Replay reading best back, best lay and last traded price of every runner.

    Returns (snapshots, checksum of the prices read)."""
    n = 0
    total = 0.0
    for book in iter_books(path):
        n += 1
        for r in book.runners:
            back = r.available_to_back
            lay = r.available_to_lay
            if back:
                total += back[0][0]
            if lay:
                total += lay[0][0]
            ltp = r.last_price_traded
            if ltp is not None:
                total += ltp
    return n, total


def main(argv=None):
    parser = argparse.ArgumentParser(description="Pure-Python replay of a prices file.")
    parser.add_argument("path")
    parser.add_argument("--consumer", action="store_true",
                        help="read best back, best lay and last traded price of every runner")
    args = parser.parse_args(argv)
    if args.consumer:
        n, total = replay_consume(args.path)
        print(f"{n} snapshots, checksum {total:.2f}")
    else:
        print(f"{replay(args.path)} snapshots")
    return 0


if __name__ == "__main__":
    sys.exit(main())
