#!/usr/bin/env python3
"""Generate realistic prices files for benchmarks (deterministic, seeded).

    python bench/generate.py OUT [--target-mb 50] [--seed 1] [--markets N] [--gzip]
    python bench/generate.py --calibrate [OUT] [--target-mb 20] [--seed 1]

Each file is one horse-racing WIN market as the exchange streams it, one
compact JSON message per line:

- an image first ("img": true) with the full market definition and the
  books of all runners;
- a long, sparse pre-event phase: a message every few seconds touching one
  or two runners (size changes, one-tick moves, trades, starting-price
  projections and starting-price bets); one runner is withdrawn part way
  (status REMOVED, removal date, new adjustment factors);
- the suspension before the off with the reconciled starting prices, most
  unmatched offers cancelled;
- a dense in-play phase (about ten messages a second, several runners each,
  bet delay 1) in which prices run across the whole ladder: the winner
  towards 1.01, the losers towards 1000, some challenging on the way;
- the final suspension (books emptied) and the settled definition with
  WINNER / LOSER statuses.

Prices always sit on the exchange's tick ladder; ladder deltas are
[price, size] pairs and a zero size removes a level; traded ladders carry the
cumulative volume per price.

The target size is approximate: the pre-event phase takes about a fifth of it
(at most a few thousand messages) and the in-play phase fills the rest.
With --markets N > 1, OUT is a directory that receives one file per market,
each of about --target-mb. A name ending in ".gz" (or --gzip) writes gzip.

--calibrate writes a file (to OUT, or to a temporary directory) and prints
its figures next to those of the recorded files in $PALISAR_DATA_DIR (default:
shared/data beside the repository), if that directory exists.
"""

import argparse
import base64
import bisect
import datetime as _dt
import gzip
import json
import math
import os
import random
import sys
import tempfile
import time

REAL_DATA_DIR = os.path.normpath(
    os.environ.get("PALISAR_DATA_DIR") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "data"))

# ---------------------------------------------------------------------------
# Tick ladder


def _build_ticks():
    # (from, to, step) in hundredths of a unit of odds
    bands = [
        (101, 200, 1), (200, 300, 2), (300, 400, 5), (400, 600, 10),
        (600, 1000, 20), (1000, 2000, 50), (2000, 3000, 100),
        (3000, 5000, 200), (5000, 10000, 500), (10000, 100000, 1000),
    ]
    cents = []
    for lo, hi, step in bands:
        cents.extend(range(lo, hi, step))
    cents.append(100000)
    # integral prices print as integers (as the exchange sends them),
    # the others as the shortest decimal of the nearest double
    return [c // 100 if c % 100 == 0 else c / 100 for c in cents]


TICKS = _build_ticks()
N_TICKS = len(TICKS)
_TICK_FLOATS = [float(p) for p in TICKS]
LAST = N_TICKS - 1


def tick_index(price):
    """Index of the tick nearest to `price` (rounding towards the lower tick)."""
    i = bisect.bisect_right(_TICK_FLOATS, price) - 1
    return min(max(i, 0), LAST)


# ---------------------------------------------------------------------------
# Names

_VENUES = [
    ("Ashbourne Park", "GB"), ("Kelmoor", "GB"), ("Dunmere", "IE"),
    ("Harrowfield", "GB"), ("Blackwater Downs", "IE"), ("Stenbury", "GB"),
    ("Carrick Vale", "IE"), ("Wexley", "GB"), ("Norhaven", "GB"),
]
_RACES = ["Hcap", "Mdn Stks", "Nov Hrd", "Hcap Chs", "Stks", "Nursery", "Claim Stks", "NHF"]
_SYL = ["al", "ben", "cor", "dal", "en", "far", "gol", "har", "is", "jen", "kal",
        "lor", "mar", "nor", "or", "pel", "quin", "ros", "sal", "tor", "ul", "ven",
        "wil", "yar", "zan", "bri", "cas", "dun", "eth", "gra"]
_WORDS = ["Star", "Boy", "Lady", "King", "Queen", "Dream", "Storm", "Flight", "Rose",
          "Spirit", "Legend", "Dancer", "Runner", "Light", "Song", "Gold", "Echo",
          "Breeze", "Prince", "Moon", "Arrow", "Blaze", "Crown", "Thunder"]


def _horse_name(rng, used):
    while True:
        first = "".join(rng.choice(_SYL) for _ in range(rng.randint(2, 3))).capitalize()
        name = first if rng.random() < 0.4 else f"{first} {rng.choice(_WORDS)}"
        if name not in used:
            used.add(name)
            return name


def _fmt_time(t):
    return t.strftime("%Y-%m-%dT%H:%M:%S.000Z")


def _ordinal(n):
    suffix = "th" if 10 <= n % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(n % 10, "th")
    return f"{n}{suffix}"


# ---------------------------------------------------------------------------
# One runner's book


class Runner:
    __slots__ = (
        "sid", "name", "prio", "status", "af", "b", "spread", "atb", "atl", "trd",
        "ltp", "tv", "depth_b", "depth_l", "start", "final", "bump_at", "bump_w",
        "bump_a", "spb", "spl", "near", "far", "bsp", "removal_date", "heat",
    )


class Market:
    """State of one generated market and the writer of its messages."""

    def __init__(self, rng, target_bytes, index):
        self.rng = rng
        self.target = max(int(target_bytes), 20_000)
        self.market_id = f"1.{rng.randrange(200_000_000, 240_000_000)}"
        self.event_id = str(rng.randrange(31_000_000, 33_000_000))
        venue, country = rng.choice(_VENUES)
        day = _dt.datetime(2022, 1, 3) + _dt.timedelta(days=rng.randrange(0, 700))
        self.market_time = day.replace(hour=rng.randrange(12, 21), minute=rng.choice(range(0, 60, 5)))
        self.venue = venue
        self.country = country
        self.event_name = f"{venue} {_ordinal(self.market_time.day)} {self.market_time:%b}"
        furlongs = rng.randrange(5, 25)
        miles, fur = divmod(furlongs, 8)
        dist = (f"{miles}m" if miles else "") + (f"{fur}f" if fur else "")
        self.race_name = f"{dist} {rng.choice(_RACES)}"
        self.race_type = "Flat" if "Hrd" not in self.race_name and "Chs" not in self.race_name else "Hurdle"
        self.version = rng.randrange(4_400_000_000, 4_700_000_000)
        self.stream_id = 1 + index
        self.clk = rng.randrange(1 << 40)
        self.market_tv = 0.0
        self.status = "OPEN"
        self.in_play = False
        self.bet_delay = 0
        self.bsp_reconciled = False
        self.complete = True
        self.cross_matching = True
        self.settled_time = None
        # offer sizes: a log-normal pool drawn once (cheaper than a draw per level)
        self._sizes = [round(max(rng.lognormvariate(2.6, 1.3), 0.01), 2) for _ in range(4096)]
        self.runners = []
        self._make_runners()

    # -- setup --------------------------------------------------------------

    def _make_runners(self):
        rng = self.rng
        n = rng.randint(8, 16)
        used = set()
        strengths = [rng.lognormvariate(0.0, 0.9) for _ in range(n)]
        total = sum(strengths)
        overround = rng.uniform(1.01, 1.04)
        sids = rng.sample(range(10_000_000, 60_000_000), n)
        for i in range(n):
            r = Runner()
            r.sid = sids[i]
            r.name = f"{i + 1}. {_horse_name(rng, used)}"
            r.prio = i + 1
            r.status = "ACTIVE"
            p = strengths[i] / total
            r.af = round(100.0 * p, 3)
            fair = min(max(1.0 / (p * overround), 1.05), 900.0)
            r.b = min(tick_index(fair), LAST - 3)
            r.spread = 1 if rng.random() < 0.7 else 2
            r.atb = {}
            r.atl = {}
            r.trd = {}
            r.ltp = None
            r.tv = 0.0
            r.depth_b = rng.randint(14, 30)
            r.depth_l = rng.randint(12, 28)
            r.spb = {}
            r.spl = {}
            r.near = None
            r.far = None
            r.bsp = None
            r.removal_date = None
            r.heat = rng.random()
            self.runners.append(r)
        # the winner is drawn by the runners' chances
        w = rng.random() * sum(strengths)
        acc = 0.0
        self.winner = self.runners[-1]
        for r, s in zip(self.runners, strengths):
            acc += s
            if w <= acc:
                self.winner = r
                break

    def _size(self, scale=1.0):
        if scale == 1.0:
            return self._sizes[int(self.rng.random() * 4096)]
        return round(max(self._sizes[int(self.rng.random() * 4096)] * scale, 0.01), 2)

    # -- book maintenance (each returns deltas) -----------------------------

    def _fill_book(self, r, atb, atl, scale=1.0, depth_scale=1.0):
        """Top both sides of the book up to the runner's depth."""
        rng = self.rng
        b, lay = r.b, r.b + r.spread
        want_b = max(2, int(r.depth_b * depth_scale))
        want_l = max(2, int(r.depth_l * depth_scale))
        if b not in r.atb:
            s = self._size(scale)
            r.atb[b] = s
            atb.append([TICKS[b], s])
        if lay <= LAST and lay not in r.atl:
            s = self._size(scale)
            r.atl[lay] = s
            atl.append([TICKS[lay], s])
        tries = 0
        while len(r.atb) < want_b and tries < 6:
            tries += 1
            i = b - 1 - int(rng.expovariate(0.12))
            if 0 <= i and i not in r.atb:
                s = self._size(scale * 1.5)
                r.atb[i] = s
                atb.append([TICKS[i], s])
        tries = 0
        while len(r.atl) < want_l and tries < 6:
            tries += 1
            i = lay + 1 + int(rng.expovariate(0.12))
            if i <= LAST and i not in r.atl:
                s = self._size(scale * 1.5)
                r.atl[i] = s
                atl.append([TICKS[i], s])

    def _trade(self, r, idx, vol, trd):
        vol = round(max(vol, 0.01), 2)
        new = round(r.trd.get(idx, 0.0) + vol, 2)
        r.trd[idx] = new
        trd.append([TICKS[idx], new])
        r.tv = round(r.tv + vol, 2)
        r.ltp = idx
        self.market_tv = round(self.market_tv + vol, 2)

    def _move(self, r, d, atb, atl, trd, spread=None):
        """Move the best back price by d ticks, matching what the move crosses."""
        rng = self.rng
        if spread is not None:
            r.spread = spread
        old_b = r.b
        nb = min(max(old_b + d, 0), LAST - r.spread)
        r.b = nb
        nl = nb + r.spread
        traded = False
        if nb < old_b:
            # backers took the offers above the new best back price
            for i in sorted((i for i in r.atb if i > nb), reverse=True):
                size = r.atb.pop(i)
                atb.append([TICKS[i], 0])
                self._trade(r, i, size * rng.uniform(0.3, 1.0), trd)
                traded = True
            stale = [i for i in r.atl if i < nl]
        else:
            stale = [i for i in r.atl if i < nl]
            if nb > old_b:
                # layers took the offers below the new best lay price
                for i in sorted(stale):
                    size = r.atl.pop(i)
                    atl.append([TICKS[i], 0])
                    self._trade(r, i, size * rng.uniform(0.3, 1.0), trd)
                    traded = True
                stale = []
            for i in [i for i in r.atb if i > nb]:
                del r.atb[i]
                atb.append([TICKS[i], 0])
        for i in stale:
            if i in r.atl:
                del r.atl[i]
                atl.append([TICKS[i], 0])
        # new offers behind the moved price
        if nb < old_b:
            for i in range(nl, min(old_b + r.spread, LAST + 1)):
                if i not in r.atl and rng.random() < 0.8:
                    s = self._size()
                    r.atl[i] = s
                    atl.append([TICKS[i], s])
        elif nb > old_b:
            for i in range(max(old_b, 0), nb):
                if i not in r.atb and rng.random() < 0.8:
                    s = self._size()
                    r.atb[i] = s
                    atb.append([TICKS[i], s])
        if not traded and d != 0 and rng.random() < 0.5:
            i = nb if d < 0 else min(nl, LAST)
            self._trade(r, i, self._size(0.5), trd)

    def _touch_sizes(self, r, side, deltas, k, near=4):
        book = r.atb if side == "b" else r.atl
        top = r.b if side == "b" else r.b + r.spread
        sign = -1 if side == "b" else 1
        for _ in range(k):
            i = top + sign * int(self.rng.expovariate(1.0 / near) if near else 0)
            if not 0 <= i <= LAST:
                continue
            s = self._size()
            book[i] = s
            deltas.append([TICKS[i], s])

    def _trim(self, r, atb, atl, limit_b, limit_l):
        if len(r.atb) > limit_b:
            i = min(r.atb)
            del r.atb[i]
            atb.append([TICKS[i], 0])
        if len(r.atl) > limit_l:
            i = max(r.atl)
            del r.atl[i]
            atl.append([TICKS[i], 0])

    def _hit_top(self, r, atb, atl, trd, scale=1.0):
        """A trade at the best price that takes part of the level or all of it."""
        rng = self.rng
        if rng.random() < 0.5 and r.b in r.atb:
            i, book, out = r.b, r.atb, atb
        else:
            i, book, out = r.b + r.spread, r.atl, atl
            if i not in book:
                return
        size = book[i]
        take = min(size, self._size(scale))
        left = round(size - take, 2)
        if left > 0:
            book[i] = left
            out.append([TICKS[i], left])
        else:
            del book[i]
            out.append([TICKS[i], 0])
        self._trade(r, i, take, trd)

    @staticmethod
    def _dedupe(deltas):
        # the exchange sends each price at most once per list: keep the last value
        if len(deltas) < 2:
            return deltas
        last = {}
        for p, s in deltas:
            last[p] = s
        if len(last) == len(deltas):
            return deltas
        return [[p, s] for p, s in last.items()]

    @classmethod
    def _change(cls, r, atb, atl, trd, extra=None):
        c = {}
        if atb:
            c["atb"] = cls._dedupe(atb)
        if atl:
            c["atl"] = cls._dedupe(atl)
        if trd:
            c["trd"] = cls._dedupe(trd)
        if extra:
            c.update(extra)
        if trd:
            c["ltp"] = TICKS[r.ltp]
            c["tv"] = r.tv
        c["id"] = r.sid
        return c

    # -- runner changes of each phase ---------------------------------------

    def _preplay_change(self, r, closeness):
        rng = self.rng
        atb, atl, trd = [], [], []
        extra = None
        u = rng.random()
        if u < 0.50:
            side = "b" if rng.random() < 0.5 else "l"
            self._touch_sizes(r, side, atb if side == "b" else atl, rng.randint(1, 3))
        elif u < 0.62:
            self._fill_book(r, atb, atl)
            self._trim(r, atb, atl, r.depth_b + 4, r.depth_l + 4)
            if not atb and not atl:
                self._touch_sizes(r, "l", atl, 1, 8)
        elif u < 0.85:
            self._hit_top(r, atb, atl, trd)
            self._fill_book(r, atb, atl)
        else:
            # drift back towards the opening price, with some noise
            d = rng.choice((-1, 1))
            if r.b - r.start > 4:
                d = -1
            elif r.start - r.b > 4:
                d = 1
            self._move(r, d, atb, atl, trd, spread=1 if rng.random() < 0.75 else 2)
            self._fill_book(r, atb, atl)
        # starting-price projections and starting-price bets, more of them near the off
        if rng.random() < 0.04 + 0.2 * closeness:
            extra = {}
            if r.near is None and closeness < 0.3 and rng.random() < 0.3:
                extra["spn"] = "NaN"
            else:
                mid = _TICK_FLOATS[r.b] * rng.uniform(0.97, 1.06)
                r.near = round(mid, 2)
                extra["spn"] = r.near
                r.far = round(mid * rng.uniform(0.7, 1.4), 2)
                extra["spf"] = r.far
            if rng.random() < 0.5:
                i = max(0, r.b - rng.randint(0, 30))
                v = round(r.spb.get(i, 0.0) + self._size(0.5), 2)
                r.spb[i] = v
                extra["spb"] = [[TICKS[i], v]]
            if rng.random() < 0.5:
                i = min(LAST, r.b + rng.randint(0, 40))
                v = round(r.spl.get(i, 0.0) + self._size(0.5), 2)
                r.spl[i] = v
                extra["spl"] = [[TICKS[i], v]]
        return self._change(r, atb, atl, trd, extra)

    def _target(self, r, t):
        ease = t ** 2.2
        pos = r.start + (r.final - r.start) * ease
        if r.bump_a:
            x = (t - r.bump_at) / r.bump_w
            if 0.0 < x < 1.0:
                pos += r.bump_a * math.sin(math.pi * x)
        return pos

    def _inplay_change(self, r, t):
        rng = self.rng
        atb, atl, trd = [], [], []
        diff = self._target(r, t) - r.b
        step = 0
        if abs(diff) >= 1 or rng.random() < 0.35:
            base = min(abs(diff), rng.randint(1, 5))
            step = int(math.copysign(base, diff)) if abs(diff) >= 1 else 0
            step += rng.choice((-1, 0, 0, 1))
        spread = rng.choice((1, 1, 1, 2, 2, 3, 4))
        if step or spread != r.spread:
            self._move(r, step, atb, atl, trd, spread=spread)
        if rng.random() < 0.55:
            self._hit_top(r, atb, atl, trd, 0.7)
        if rng.random() < 0.8:
            self._touch_sizes(r, "b", atb, rng.randint(1, 3), 3)
        if rng.random() < 0.8:
            self._touch_sizes(r, "l", atl, rng.randint(1, 3), 3)
        self._fill_book(r, atb, atl, 0.6, 0.45)
        self._trim(r, atb, atl, int(r.depth_b * 0.6) + 2, int(r.depth_l * 0.6) + 2)
        return self._change(r, atb, atl, trd)

    # -- definitions --------------------------------------------------------

    def _definition(self, publish, settled=False):
        runners = []
        for r in self.runners:
            d = {"adjustmentFactor": r.af, "status": r.status, "sortPriority": r.prio}
            if r.removal_date:
                d["removalDate"] = r.removal_date
            if r.bsp is not None:
                d["bsp"] = round(r.bsp, 2) if settled else r.bsp
            d["id"] = r.sid
            d["hc"] = 0
            d["name"] = r.name
            runners.append(d)
        self.version += self.rng.randrange(1, 4000)
        md = {
            "bspMarket": True,
            "turnInPlayEnabled": True,
            "persistenceEnabled": True,
            "marketBaseRate": 5,
            "eventId": self.event_id,
            "eventTypeId": "7",
            "numberOfWinners": 1,
            "bettingType": "ODDS",
            "marketType": "WIN",
            "marketTime": _fmt_time(self.market_time),
            "suspendTime": _fmt_time(self.market_time),
            "bspReconciled": self.bsp_reconciled,
            "complete": self.complete,
            "inPlay": self.in_play,
            "crossMatching": self.cross_matching,
            "runnersVoidable": False,
            "numberOfActiveRunners": sum(r.status == "ACTIVE" for r in self.runners),
            "betDelay": self.bet_delay,
            "status": self.status,
        }
        if self.settled_time:
            md["settledTime"] = self.settled_time
        md.update({
            "runners": runners,
            "regulators": ["MR_INT"],
            "venue": self.venue,
            "raceType": self.race_type,
            "countryCode": self.country,
            "discountAllowed": True,
            "timezone": "Europe/London",
            "openDate": _fmt_time(self.market_time),
            "version": self.version,
            "name": self.race_name,
            "eventName": self.event_name,
            "priceLadderDefinition": {"type": "CLASSIC"},
        })
        return md

    # -- output -------------------------------------------------------------

    def _message(self, pt, change):
        self.clk += self.rng.randrange(1, 5000)
        clk = base64.b64encode(self.clk.to_bytes(9, "little")).decode()
        change["id"] = self.market_id
        mc = {"id": self.market_id}
        mc.update(change)
        msg = {"op": "mcm", "id": self.stream_id, "clk": clk, "pt": pt, "mc": [mc]}
        return json.dumps(msg, separators=(",", ":"))

    def generate(self, write):
        """Produce the whole market; `write(line)` receives each line (no newline)."""
        rng = self.rng
        written = 0
        runners = self.runners
        off = self.market_time + _dt.timedelta(seconds=rng.randrange(30, 240))
        off_ms = int(off.replace(tzinfo=_dt.timezone.utc).timestamp() * 1000)

        def emit(pt, change):
            nonlocal written
            line = self._message(pt, change)
            written += len(line) + 1
            write(line)

        # image: definition and the full books
        pre_msgs = int(min(6000, max(60, self.target * 0.2 / 230)))
        mean_gap = 3.2
        pt = off_ms - int(pre_msgs * mean_gap * 1000) - rng.randrange(0, 60_000)
        rcs = []
        for r in runners:
            atb, atl, trd = [], [], []
            r.start = r.b
            self._fill_book(r, atb, atl)
            self._fill_book(r, atb, atl)
            if rng.random() < 0.8:
                for i in range(max(0, r.b - 2), min(LAST, r.b + r.spread + 2) + 1):
                    if rng.random() < 0.6:
                        self._trade(r, i, self._size(), trd)
            # the far-away offers that sit in every book
            for i, s in ((0, round(rng.uniform(500, 15000), 2)), (1, round(rng.uniform(1, 50), 2))):
                if i < r.b and i not in r.atb:
                    r.atb[i] = s
                    atb.append([TICKS[i], s])
            for i, s in ((LAST, round(rng.uniform(2, 20), 2)), (LAST - 1, round(rng.uniform(1, 5), 2))):
                if i > r.b + r.spread and i not in r.atl:
                    r.atl[i] = s
                    atl.append([TICKS[i], s])
            rcs.append(self._change(r, atb, atl, trd))
        emit(pt, {"marketDefinition": self._definition(pt), "rc": rcs, "img": True})

        # sparse pre-event phase, one runner withdrawn along the way
        remove_at = int(pre_msgs * rng.uniform(0.25, 0.6))
        for k in range(pre_msgs):
            closeness = k / pre_msgs
            gap = rng.expovariate(1.0 / (mean_gap * (1.3 - 0.6 * closeness)))
            pt += max(20, int(gap * 1000))
            if k == remove_at:
                self._remove_runner(pt, emit)
                continue
            live = [r for r in runners if r.status == "ACTIVE"]
            n = 1 if rng.random() < 0.7 else 2
            chosen = rng.sample(live, n)
            emit(pt, {"rc": [self._preplay_change(r, closeness) for r in chosen]})

        # suspension at the off: starting prices reconciled, most offers cancelled
        pt = max(pt + 500, off_ms)
        self.status = "SUSPENDED"
        self.bsp_reconciled = True
        live = [r for r in runners if r.status == "ACTIVE"]
        for r in live:
            base = r.near if isinstance(r.near, float) else _TICK_FLOATS[r.b]
            r.bsp = base * rng.uniform(0.95, 1.05)
        rcs = []
        for r in live:
            atb, atl = [], []
            for book, out in ((r.atb, atb), (r.atl, atl)):
                for i in list(book):
                    if rng.random() < 0.75:
                        del book[i]
                        out.append([TICKS[i], 0])
            r.near = r.far = round(r.bsp, 2)
            rcs.append(self._change(r, atb, atl, [], {"spn": r.near, "spf": r.far}))
        emit(pt, {"marketDefinition": self._definition(pt), "rc": rcs})

        # turned in play
        pt += rng.randrange(2000, 9000)
        self.status = "OPEN"
        self.in_play = True
        self.bet_delay = 1
        emit(pt, {"marketDefinition": self._definition(pt)})

        # race paths: the winner shortens to 1.01, the losers drift, some challenge first
        for r in live:
            r.start = r.b
            if r is self.winner:
                r.final = rng.randint(0, 3)
            else:
                r.final = rng.randint(LAST - 45, LAST - 1)
            r.bump_a, r.bump_at, r.bump_w = 0.0, 0.0, 1.0
            if r is not self.winner and rng.random() < 0.45:
                r.bump_at = rng.uniform(0.2, 0.7)
                r.bump_w = rng.uniform(0.15, 0.3)
                r.bump_a = -rng.uniform(0.3, 0.8) * r.start

        cum_weights = []
        total_weight = 0.0
        for r in live:
            total_weight += 0.3 + r.heat + (1.5 if r is self.winner else 0.0)
            cum_weights.append(total_weight)
        cum_weights[-1] = float("inf")

        budget = max(self.target - written - 4000, 5000)
        start_written = written
        while True:
            t = (written - start_written) / budget
            if t >= 1.0:
                break
            pt += max(15, int(rng.expovariate(1 / 100.0)))
            n = min(len(live), rng.choice((2, 3, 4, 4, 5, 5, 6, 7)))
            chosen = []
            while len(chosen) < n:
                r = live[bisect.bisect(cum_weights, rng.random() * total_weight)]
                if r not in chosen:
                    chosen.append(r)
            chosen.sort(key=lambda r: r.prio)
            change = {"rc": [self._inplay_change(r, t) for r in chosen]}
            if any("trd" in c for c in change["rc"]):
                change["tv"] = self.market_tv
            emit(pt, change)

        # end of the race: suspended, books emptied
        pt += rng.randrange(500, 3000)
        self.status = "SUSPENDED"
        rcs = []
        for r in live:
            atb = [[TICKS[i], 0] for i in r.atb]
            atl = [[TICKS[i], 0] for i in r.atl]
            r.atb.clear()
            r.atl.clear()
            if atb or atl:
                rcs.append(self._change(r, atb, atl, []))
        emit(pt, {"marketDefinition": self._definition(pt), "rc": rcs})

        # settled
        pt += rng.randrange(60_000, 600_000)
        self.status = "CLOSED"
        self.complete = True
        self.cross_matching = False
        self.settled_time = _fmt_time(_dt.datetime.fromtimestamp(pt // 1000, _dt.timezone.utc))
        for r in live:
            r.status = "WINNER" if r is self.winner else "LOSER"
        emit(pt, {"marketDefinition": self._definition(pt, settled=True)})
        return written

    def _remove_runner(self, pt, emit):
        rng = self.rng
        live = [r for r in self.runners if r.status == "ACTIVE" and r is not self.winner]
        gone = rng.choice(live)
        gone.status = "REMOVED"
        gone.removal_date = _fmt_time(_dt.datetime.fromtimestamp(pt // 1000, _dt.timezone.utc))
        factor = 1.0 - gone.af / 100.0
        for r in self.runners:
            if r.status == "ACTIVE":
                r.af = round(r.af / factor, 3)
        self.version += 1
        atb = [[TICKS[i], 0] for i in gone.atb]
        atl = [[TICKS[i], 0] for i in gone.atl]
        gone.atb.clear()
        gone.atl.clear()
        rcs = [self._change(gone, atb, atl, [])]
        emit(pt, {"marketDefinition": self._definition(pt), "rc": rcs})


# ---------------------------------------------------------------------------
# Writing files


def _is_gzip_name(path):
    return os.path.basename(path.rstrip("/")).endswith((".gz", ".gzip"))


def write_market(path, target_bytes, seed, index=0, gz=None):
    """Write one market to `path`; returns (bytes of text, number of lines)."""
    rng = random.Random(f"palisar-bench:{seed}:{index}")
    market = Market(rng, target_bytes, index)
    if gz is None:
        gz = _is_gzip_name(path)
    lines = []
    count = 0
    if gz:
        out = gzip.open(path, "wb", compresslevel=6)
    else:
        out = open(path, "wb")
    with out:
        def write(line):
            nonlocal count
            lines.append(line)
            count += 1
            if len(lines) >= 2000:
                out.write(("\n".join(lines) + "\n").encode())
                lines.clear()
        total = market.generate(write)
        if lines:
            out.write(("\n".join(lines) + "\n").encode())
    return total, count, market.market_id


def generate(out, target_mb=50.0, seed=1, markets=1, gz=None):
    """Write the file(s); returns a list of (path, bytes, lines)."""
    target = target_mb * 1e6
    results = []
    if markets <= 1:
        parent = os.path.dirname(os.path.abspath(out))
        os.makedirs(parent, exist_ok=True)
        size, n, _ = write_market(out, target, seed, 0, gz)
        results.append((out, size, n))
        return results
    os.makedirs(out, exist_ok=True)
    if gz is None:
        gz = _is_gzip_name(out)
    for i in range(markets):
        tmp = os.path.join(out, f".partial-{i}")
        size, n, market_id = write_market(tmp, target, seed, i, gz)
        path = os.path.join(out, f"horse-win-{market_id}" + (".gz" if gz else ""))
        os.replace(tmp, path)
        results.append((path, size, n))
    return results


# ---------------------------------------------------------------------------
# Calibration: figures of a prices file


LADDER_KEYS = ("atb", "atl", "trd", "spb", "spl")
READ_MC_KEYS = ("id", "img", "marketDefinition", "rc", "status", "betDelay", "bspReconciled",
                "complete", "crossMatching", "inPlay", "runnersVoidable", "tv", "version",
                "lastMatchTime")
READ_RC_KEYS = ("id", "hc", "status", "adjustmentFactor", "ltp", "tv", "removalDate",
                "spb", "spl", "atb", "atl", "trd", "spn", "spf")


def _open_text(path):
    if _is_gzip_name(path):
        return gzip.open(path, "rt", encoding="utf-8")
    return open(path, encoding="utf-8")


def file_figures(path):
    """Figures that describe the shape of a prices file."""
    n_msgs = 0
    n_bytes = 0
    n_bytes_read = 0
    n_def = 0
    rc_lens = []
    deltas = 0
    changes = 0
    ip_rc_lens = []
    ip_deltas = 0
    ip_changes = 0
    books = {}          # (id, hc, key) -> {price: size}
    peak = {}           # (id, hc, key) -> peak number of live levels
    seen = {}           # (id, hc, key) -> set of prices ever quoted
    in_play = False
    closed_pre = False
    ip_done = False
    pre_pts = []
    ip_pts = []
    with _open_text(path) as f:
        for line in f:
            if not line.strip():
                continue
            msg = json.loads(line)
            mcs = msg.get("mc")
            if not isinstance(mcs, list):
                continue
            n_msgs += 1
            n_bytes += len(line.encode()) if not line.isascii() else len(line)
            # the same message without the keys the replay does not read
            slim = []
            has_def = False
            for mc in mcs:
                s = {k: v for k, v in mc.items() if k in READ_MC_KEYS}
                if isinstance(mc.get("rc"), list):
                    s["rc"] = [{k: v for k, v in rc.items() if k in READ_RC_KEYS} for rc in mc["rc"]]
                slim.append(s)
                if "marketDefinition" in mc:
                    has_def = True
                    d = mc["marketDefinition"]
                    if isinstance(d, dict):
                        if d.get("inPlay"):
                            in_play = True
                        if d.get("status") not in (None, "OPEN"):
                            if in_play:
                                ip_done = True
                            else:
                                closed_pre = True
                if mc.get("img") is True:
                    for k in [k for k in books]:
                        books[k] = {}
                rc = mc.get("rc")
                if isinstance(rc, list) and rc:
                    rc_lens.append(len(rc))
                    if in_play:
                        ip_rc_lens.append(len(rc))
                        ip_changes += len(rc)
                    for ch in rc:
                        changes += 1
                        sid, hc = ch.get("id"), ch.get("hc", 0)
                        for key in LADDER_KEYS:
                            ds = ch.get(key)
                            if not ds:
                                continue
                            deltas += len(ds)
                            if in_play:
                                ip_deltas += len(ds)
                            k = (sid, hc, key)
                            book = books.setdefault(k, {})
                            prices = seen.setdefault(k, set())
                            for p, s in ds:
                                if s:
                                    book[p] = s
                                    prices.add(p)
                                else:
                                    book.pop(p, None)
                            if len(book) > peak.get(k, 0):
                                peak[k] = len(book)
            n_def += has_def
            short = {"op": msg.get("op"), "clk": msg.get("clk"), "pt": msg.get("pt"), "mc": slim}
            n_bytes_read += len(json.dumps(short, separators=(",", ":"))) + 1
            pt = msg.get("pt")
            if isinstance(pt, int):
                if in_play:
                    if not ip_done:
                        ip_pts.append(pt)
                elif not closed_pre:
                    pre_pts.append(pt)

    def mean(xs):
        return sum(xs) / len(xs) if xs else float("nan")

    def rate(pts):
        if len(pts) < 2 or pts[-1] == pts[0]:
            return float("nan")
        return (len(pts) - 1) / ((pts[-1] - pts[0]) / 1000.0)

    ex_peak = [v for (sid, hc, key), v in peak.items() if key in ("atb", "atl")]
    ex_seen = [len(v) for (sid, hc, key), v in seen.items() if key in ("atb", "atl")]
    trd_peak = [v for (sid, hc, key), v in peak.items() if key == "trd"]
    return {
        "messages": n_msgs,
        "bytes/msg": n_bytes / max(n_msgs, 1),
        "bytes/msg (keys the replay reads)": n_bytes_read / max(n_msgs, 1),
        "runners/msg (rc length)": mean(rc_lens),
        "deltas/runner change": deltas / max(changes, 1),
        "runners/msg in-play": mean(ip_rc_lens),
        "deltas/runner change in-play": ip_deltas / ip_changes if ip_changes else float("nan"),
        "msgs with marketDefinition": n_def / max(n_msgs, 1),
        "atb/atl live levels, peak (mean)": mean(ex_peak),
        "atb/atl prices quoted (mean)": mean(ex_seen),
        # peak rather than final count: a recorded file may clear the traded
        # ladders in its very last message
        "trd levels/runner, peak (mean)": mean(trd_peak),
        "trd levels/runner, peak (max)": max(trd_peak) if trd_peak else 0,
        "msg rate pre-play (/s)": rate(pre_pts),
        "msg rate in-play (/s)": rate(ip_pts),
    }


def _fmt(v):
    if isinstance(v, int):
        return f"{v:,}"
    if v != v:
        return "-"
    if abs(v) >= 100:
        return f"{v:,.0f}"
    if abs(v) >= 1 or v == 0:
        return f"{v:.2f}"
    return f"{v:.2g}"


def calibrate(out, target_mb, seed):
    tmpdir = None
    if out is None:
        tmpdir = tempfile.TemporaryDirectory()
        out = os.path.join(tmpdir.name, "generated-win")
    started = time.perf_counter()
    results = generate(out, target_mb, seed, 1)
    took = time.perf_counter() - started
    size = results[0][1]
    print(f"generated {out}: {size / 1e6:.1f} MB, {results[0][2]:,} lines in {took:.2f} s "
          f"({size / 1e6 / took:.1f} MB/s)")
    columns = [("generated", out)]
    if os.path.isdir(REAL_DATA_DIR):
        for name in sorted(os.listdir(REAL_DATA_DIR)):
            columns.append((name, os.path.join(REAL_DATA_DIR, name)))
    else:
        print(f"({REAL_DATA_DIR} is absent: no recorded files to compare with)")
    figures = [(name, file_figures(path)) for name, path in columns]
    rows = list(figures[0][1])
    head = ["figure"] + [name for name, _ in figures]
    table = [head] + [[row] + [_fmt(f[row]) for _, f in figures] for row in rows]
    widths = [max(len(r[i]) for r in table) for i in range(len(head))]
    print()
    print("| " + " | ".join(h.ljust(w) for h, w in zip(head, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in table[1:]:
        print("| " + r[0].ljust(widths[0]) + " | "
              + " | ".join(c.rjust(w) for c, w in zip(r[1:], widths[1:])) + " |")
    if tmpdir is not None:
        tmpdir.cleanup()


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Generate realistic prices files (horse-racing WIN markets) for benchmarks.")
    parser.add_argument("out", nargs="?", help="output file (a directory with --markets > 1); "
                        "a name ending in .gz writes gzip")
    parser.add_argument("--target-mb", type=float, default=None,
                        help="approximate size of each market file in MB (default 50; 20 with --calibrate)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--markets", type=int, default=1, help="number of markets, one file each")
    parser.add_argument("--gzip", action="store_true", help="write gzip whatever the name")
    parser.add_argument("--calibrate", action="store_true",
                        help="compare a generated file with the recorded files")
    args = parser.parse_args(argv)
    if args.calibrate:
        calibrate(args.out, args.target_mb or 20.0, args.seed)
        return 0
    if not args.out:
        parser.error("OUT is required")
    started = time.perf_counter()
    results = generate(args.out, args.target_mb or 50.0, args.seed, args.markets,
                       True if args.gzip else None)
    took = time.perf_counter() - started
    total = sum(size for _, size, _ in results)
    for path, size, n in results:
        print(f"{path}: {n:,} messages, {size / 1e6:.1f} MB of text")
    print(f"{total / 1e6:.1f} MB in {took:.2f} s ({total / 1e6 / max(took, 1e-9):.1f} MB/s)",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
