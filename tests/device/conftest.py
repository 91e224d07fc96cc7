"""The device scenarios' matrix and their checks; run by script/device."""
import random
import time

import pytest

from machine import CORES, STORAGES, USERLANDS, Machine


def pytest_addoption(parser):
    parser.addoption("--build", action="append", choices=sorted(CORES), help="device build (default: both)")
    parser.addoption("--storage", action="append", choices=STORAGES,
                     help="what /plorn_etc is kept on (default: all three for musl, ext4 for glibc)")
    parser.addoption("--userland", action="append", choices=sorted(USERLANDS),
                     help="the device's BusyBox (default: both for musl, debian for glibc)")
    parser.addoption("--cuts", type=int, default=3, help="power cuts at random moments per machine")
    parser.addoption("--aimed", type=int, default=2, help="aimed power cuts per machine and file")
    parser.addoption("--seed", type=int, help="seed of the cuts' random delays, to replay a run (default: the clock)")


def pytest_generate_tests(metafunc):
    if "machine" in metafunc.fixturenames:
        # A scenario module may keep to some builds, storages or userlands
        # (BUILDS, STORAGES, USERLANDS); the options choose among those.
        builds = [b for b in metafunc.config.getoption("build") or sorted(CORES)
                  if b in getattr(metafunc.module, "BUILDS", CORES)]
        storages = metafunc.config.getoption("storage")
        userlands = [u for u in metafunc.config.getoption("userland") or USERLANDS
                     if u in getattr(metafunc.module, "USERLANDS", USERLANDS)]
        # The flash file systems and the router's userland are for the
        # static build, the one for routers; the dynamic build keeps to the
        # disk and Debian's BusyBox unless asked.
        matrix = [(b, CORES[b], s, u) for b in builds for s in storages or STORAGES for u in userlands
                  if (storages or b == "musl" or s == "ext4") and s in getattr(metafunc.module, "STORAGES", STORAGES)
                  and (u == "debian" or b == "musl") and (u != "openwrt" or s == "jffs2")]
        metafunc.parametrize("machine", matrix, indirect=True, ids=["-".join(m) for m in matrix])


@pytest.fixture
def machine(request):
    m = Machine(*request.param)
    m.fresh_disk()
    return m


class Checks:
    """A scenario's checks: each reported as it is made, all made even
    when one fails; done() fails the scenario if any did."""

    def __init__(self):
        self.failed = []

    def __call__(self, what, ok):
        print(f"   {'ok  ' if ok else 'FAIL'}  {what}")
        if not ok:
            self.failed.append(what)

    def done(self):
        if self.failed:
            pytest.fail(f"{len(self.failed)} checks failed: " + "; ".join(self.failed), pytrace=False)


@pytest.fixture
def rng(pytestconfig):
    """The random delays of a scenario, from a seed it prints."""
    seed = pytestconfig.getoption("seed")
    if seed is None:
        seed = time.time_ns() % 1_000_000_007
    print(f"   random delays from seed {seed} (to replay: seed={seed} among the words of script/device)")
    return random.Random(seed)


@pytest.fixture
def check():
    return Checks()
