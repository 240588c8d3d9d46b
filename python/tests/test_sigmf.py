"""SigMF recordings as their users meet them: made by the tool (locally and through a server),
by the package and by the server's archive; read back by the tool, by `python -m
vrx5200.analyze`, by load_capture and by numpy alone, which must all agree with each other, with
the figures the metadata carries and with the same capture saved as .npy. Recordings of other
datatypes are read or refused alike; a failure leaves a recording that was there as it was."""

import errno
import io
import json
import os
import re
import resource
import signal
import subprocess
import sys
import tarfile
from contextlib import nullcontext

import numpy as np
import pytest

import vrx5200
from vrx5200 import _sigmf
from vrx5200.analysis import metrics
from test_files import PREVIOUS, InterruptedLibrary, disk_full_after

N = 65536
ENV = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(vrx5200.__file__)))


def run(command, cwd, env=ENV, **kw):
    return subprocess.run([str(c) for c in command], cwd=cwd, capture_output=True, text=True,
                          env=env, **kw)


def archive_of(served, answer):
    status, headers, data = served.request(
        "GET", f"/api/v1/captures/{answer['id']}?format=sigmf")
    assert status == 200 and headers["content-type"] == "application/x-tar"
    assert headers["content-disposition"] == \
        f'attachment; filename="capture-{answer["id"]}.sigmf"'
    return data


# name: how the recording is made in tmp_path (returns the path to read it by), the tool's
# capture options it matches as a .npy capture (None: nothing to compare), the rate it states,
# whether its samples are evenly spaced in time.
def by_tool(*options):
    def make(tool, tmp, served):
        args = [tool, "--sim", "capture", "-n", N, "-q", *options]
        assert run(args + ["-O", "sigmf", "-o", "rec.sigmf-meta"], tmp).returncode == 0
        assert run(args + ["-o", "cap.npy"], tmp).returncode == 0
        return "rec.sigmf-meta"
    return make


def by_remote_tool(tool, tmp, served):
    args = [tool, "-u", served.url, "capture", "-n", N, "-q", "-O", "sigmf", "-o", "rec"]
    assert run(args, tmp, env=dict(ENV, VRX5200_TOKEN=served.token)).returncode == 0
    for suffix in ("sigmf-data", "sigmf-meta"):  # read back by suffixes in any case
        os.rename(tmp / f"rec.{suffix}", tmp / f"REC.{suffix.upper()}")
    return "REC.SIGMF-DATA"


def by_package(url=None, **kw):
    def make(tool, tmp, served):
        board = vrx5200.Board(served.url, simulated=True) if url else \
            vrx5200.Board(simulated=True)
        with board:
            assert board.capture_to_file(str(tmp / "rec.sigmf-data"), N, **kw) == N
        return "rec.sigmf-data"
    return make


def by_server(offset_binary, lanes=(1,)):
    def make(tool, tmp, served):
        answer = served.json("POST", "/api/v1/capture",
                             {"samples": N, "offset_binary": offset_binary, "lanes": lanes})
        data = archive_of(served, answer)
        (tmp / "rec.sigmf").write_bytes(data)
        with tarfile.open(fileobj=io.BytesIO(data)) as archive:  # POSIX ustar, one recording
            name = f"capture-{answer['id']}"
            assert archive.getnames() == [name, f"{name}/{name}.sigmf-meta",
                                          f"{name}/{name}.sigmf-data"]
            assert all(data[m.offset + 257:m.offset + 265] == b"ustar\x0000"
                       for m in archive.getmembers())
            assert archive.extractfile(f"{name}/{name}.sigmf-data").read() == \
                served.raw(f"/api/v1/captures/{answer['id']}")
        return "rec.sigmf"
    return make


WRITERS = {
    "tool": (by_tool("--rate", "125M"), True, 125e6, True),
    "tool, offset binary": (by_tool("--offset-binary"), True, 250e6, True),
    "tool, uneven lanes (no rate)": (by_tool("--lanes", "2,1"), True, None, False),
    "tool, one lane in two": (by_tool("--lanes", "1,0"), True, 125e6, True),
    "tool through a server": (by_remote_tool, False, 250e6, True),
    "package": (by_package(), False, 250e6, True),
    "package, one lane in two": (by_package(lanes=(1, 0), offset_binary=True), False, 125e6,
                                 True),
    "package, one lane of three": (by_package(lanes=(0, 0, 1)), False, None, False),
    "package through a server": (by_package(url=True), False, 250e6, True),
    "package through a server, reordered": (by_package(url=True, lanes=(2, 1)), False, None,
                                            False),
    "server archive": (by_server(False), False, 250e6, True),
    "server archive, offset binary": (by_server(True), False, 250e6, True),
    "server archive, one lane of three": (by_server(False, [1, 0, 0]), False, None, False),
}


def recording_meta(tmp, name):
    if _sigmf.part(name) == "archive":
        with tarfile.open(tmp / name) as archive:
            meta = next(m for m in archive.getnames() if m.endswith(".sigmf-meta"))
            return json.load(archive.extractfile(meta)), \
                archive.extractfile(meta[:-4] + "data").read()
    return json.loads((tmp / _sigmf._sibling(name) if name.lower().endswith("data") else
                       tmp / name).read_text()), \
        (tmp / (name if name.lower().endswith("data") else _sigmf._sibling(name))).read_bytes()


# Every core field a recording of ours may hold, with its JSON type in SigMF 1.2's schema.
NUMBER, INTEGER = (int, float), int
CORE_FIELDS = {
    "global": {"core:datatype": str, "core:sample_rate": NUMBER, "core:version": str,
               "core:num_channels": INTEGER, "core:description": str, "core:hw": str,
               "core:recorder": str, "core:extensions": list},
    "captures": {"core:sample_start": INTEGER, "core:datetime": str},
    "annotations": {"core:sample_start": INTEGER, "core:sample_count": INTEGER,
                    "core:generator": str, "core:label": str, "core:comment": str},
}


def check_meta(meta, data, rate):
    """The keys a SigMF 1.x reader needs, and ours declared as an extension."""
    assert set(meta) == set(CORE_FIELDS)
    glob, captures, annotations = meta["global"], meta["captures"], meta["annotations"]
    for scope, objects in [("global", [glob]), ("captures", captures),
                           ("annotations", annotations)]:
        for obj in objects:
            for key, value in obj.items():
                if key.startswith("core:"):
                    wanted = CORE_FIELDS[scope][key]
                    assert isinstance(value, wanted) and not isinstance(value, bool), key
    # An extension object holds exactly these three, and every namespace but core is declared.
    assert all(set(e) == {"name", "version", "optional"} and isinstance(e["optional"], bool)
               for e in glob["core:extensions"])
    declared = {e["name"] for e in glob["core:extensions"]} | {"core"}
    for obj in [glob, *captures, *annotations]:
        assert {key.split(":")[0] for key in obj} <= declared
    for segments in (captures, annotations):
        starts = [s["core:sample_start"] for s in segments]
        assert starts == sorted(starts)
    assert glob["core:datatype"] in ("ri16_le", "ru16_le")
    assert glob["core:datatype"] == ("ru16_le" if glob["vrx5200:offset_binary"] else "ri16_le")
    assert re.fullmatch(r"1\.\d+\.\d+", glob["core:version"])
    assert glob.get("core:sample_rate") == rate
    assert re.fullmatch(r"VRX5200 evaluation board SIM00001 \(family 0x52, firmware 0x13\)",
                        glob["core:hw"])
    assert (glob["vrx5200:board"], glob["vrx5200:family_id"],
            glob["vrx5200:firmware_version"]) == ("SIM00001", 0x52, 0x13)
    assert re.fullmatch(r"vrx5200 .*\d+\.\d+\.\d+", glob["core:recorder"])
    assert {"name": "vrx5200", "version": "1.0.0", "optional": True} in glob["core:extensions"]
    assert captures[0]["core:sample_start"] == 0
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", captures[0]["core:datetime"])
    assert [a["core:sample_start"] for a in annotations] == [0]
    assert annotations[0]["core:sample_count"] * 2 == len(data)
    for obj in [glob, *captures, *annotations]:
        for key in obj:
            assert re.fullmatch(r"(core|vrx5200):[A-Za-z_][A-Za-z0-9_]*", key), key


@pytest.mark.parametrize("writer", WRITERS)
def test_recordings_read_alike_everywhere(tool, served, tmp_path, writer):
    make, compare, rate, even = WRITERS[writer]
    name = make(tool, tmp_path, served)
    meta, data = recording_meta(tmp_path, name)
    check_meta(meta, data, rate)
    # Samples not evenly spaced are recorded as such, and every reader withholds their figures.
    assert meta["global"].get("vrx5200:evenly_spaced", True) is even
    # numpy alone: the datatype names the dtype.
    dtype = {"ri16_le": "<i2", "ru16_le": "<u2"}[meta["global"]["core:datatype"]]
    loaded = vrx5200.load_capture(tmp_path / name)
    assert np.array_equal(np.frombuffer(data, dtype=dtype), loaded)
    assert loaded.offset_binary == (dtype == "<u2") and loaded.sample_rate == rate
    assert loaded.evenly_spaced is even
    # The tool, the package's analyze, its API and the metadata's own figures agree.
    answers = [json.loads(run(command + [name, "--json"], tmp_path).stdout)
               for command in ([tool, "analyze"], [sys.executable, "-m", "vrx5200.analyze"])]
    for answer in answers:
        assert answer.pop("file") == name
    figures = {k.split(":", 1)[1]: v for k, v in meta["annotations"][0].items()
               if k.startswith("vrx5200:")}
    assert answers[0] == answers[1] == metrics(loaded).as_dict() == figures
    assert figures["samples"] == loaded.size and figures["rate_hz"] == rate
    uneven = [w for w in figures["warnings"] if w["code"] == "uneven_samples"]
    assert len(uneven) == (not even)
    withheld = ["fundamental_dbfs", "snr_db", "sinad_db", "sfdr_dbc", "enob", "noise_floor_dbfs",
                "worst_spur_dbfs"]
    assert all((figures[k] is None) == (not even) for k in withheld), figures
    assert (figures["harmonics"] == []) == (not even)
    if compare and not even:  # a .npy file says nothing of its spacing: its figures stand
        npy = json.loads(run([tool, "analyze", "cap.npy", "--json"], tmp_path).stdout)
        assert npy["snr_db"] is not None and "uneven_samples" not in str(npy["warnings"])
    elif compare:  # the same capture as .npy: the same samples, the same figures
        assert np.array_equal(np.load(tmp_path / "cap.npy").view(np.uint16),
                              np.frombuffer(data, dtype="<u2"))
        npy = run([tool, "analyze", "cap.npy", "--json"] +
                  (["--rate", str(rate)] if rate else []), tmp_path)
        assert dict(json.loads(npy.stdout), file=None) == dict(answers[0], file=None)


def _tone(amplitude, n=4096, cycles=101.3):
    return amplitude * np.sin(2 * np.pi * cycles * np.arange(n) / n)


# datatype: (samples, extra metadata, exit status, a check of the figures)
DATATYPES = {
    "ri16_le": (np.round(_tone(20000)).astype("<i2"), {}, 0, lambda a: a["bits"] == 16),
    "ri8": (np.round(_tone(100)).astype("i1"), {}, 0,
            lambda a: a["bits"] == 8 and abs(a["fundamental_dbfs"] + 2.14) < 0.1),
    "ru8": ((np.round(_tone(100)) + 128).astype("u1"), {}, 0,
            lambda a: a["offset_binary"] and abs(a["fundamental_dbfs"] + 2.14) < 0.1),
    "ri32_le": (np.round(_tone(20000)).astype("<i4"), {}, 0,
                lambda a: abs(a["fundamental_dbfs"] + 4.29) < 0.1),
    "rf32_le": (_tone(0.5).astype("<f4"), {}, 0, lambda a: abs(a["fundamental_dbfs"] + 6.02) < 0.1),
    "rf64_le": (_tone(0.5).astype("<f8"), {"core:sample_rate": 1e6}, 0,
                lambda a: a["rate_hz"] == 1e6),
    "cf32_le": (_tone(0.5).astype("<f4"), {}, 3, None),
    "ri16_be": (np.round(_tone(20000)).astype(">i2"), {}, 3, None),
    "ri16_le, two channels": (np.round(_tone(20000)).astype("<i2"), {"core:num_channels": 2}, 3,
                              None),
    "ri16_le, a bad rate": (np.round(_tone(20000)).astype("<i2"), {"core:sample_rate": 0}, 3,
                            None),
    "ri16_le, not evenly spaced": (np.round(_tone(20000)).astype("<i2"),
                                   {"vrx5200:evenly_spaced": False}, 0,
                                   lambda a: a["snr_db"] is None and a["dc_codes"] is not None
                                   and [w["code"] for w in a["warnings"]] == ["uneven_samples"]),
}


@pytest.mark.parametrize("case", DATATYPES)
def test_other_recordings_are_read_or_refused_alike(tool, tmp_path, case):
    samples, extra, status, check = DATATYPES[case]
    glob = {"core:datatype": case.split(",")[0], "core:version": "1.2.0", **extra}
    (tmp_path / "x.sigmf-meta").write_text(json.dumps({"global": glob, "captures": [],
                                                       "annotations": []}))
    (tmp_path / "x.sigmf-data").write_bytes(samples.tobytes())
    runs = [run(command + ["x.sigmf-meta", "--json"], tmp_path)
            for command in ([tool, "analyze"], [sys.executable, "-m", "vrx5200.analyze"])]
    assert [r.returncode for r in runs] == [status, status], [r.stderr for r in runs]
    if status:
        assert all(r.stdout == "" and r.stderr for r in runs)
        return
    answers = [json.loads(r.stdout) for r in runs]
    assert answers[0] == answers[1] and check(answers[0]), answers[0]


def _tool_capture(*options, disk_full=False):
    def limit():  # a disk that fills: writes past 8 KiB fail (EFBIG)
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))

    def capture(tool, tmp):
        return run([tool, "--sim", "capture", "-n", 4 * N, "-O", "sigmf", "-o", "rec", *options],
                   tmp, preexec_fn=limit if disk_full else None).returncode
    return capture


def _second_rename_fails(monkeypatch):
    replace = os.replace

    def failing(source, target):
        if str(target).endswith(".sigmf-meta"):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), target)
        replace(source, target)
    monkeypatch.setattr(os, "replace", failing)


# what fails: (the tool's capture, or what stops the package's; the tool's exit status or the
# package's exception; whether a partial recording is kept)
FAILURES = {
    "tool, disk full": (_tool_capture(disk_full=True), 3, False),
    "tool, no pattern matched": (_tool_capture("--patterns", "1,2", "--timeout", "100",
                                               "--keep-partial"), 1, False),
    "package, disk full": ("disk full", (OSError, vrx5200.VRX5200Error), False),
    "package, interrupted, kept": ("interrupt", KeyboardInterrupt, True),
    "package, the second file's rename fails": ("second rename", OSError, False),
}


@pytest.mark.parametrize("case", FAILURES)
def test_a_failure_leaves_the_recording_as_it_was(tool, local_board, tmp_path, monkeypatch,
                                                 case):
    how, expected, kept = FAILURES[case]
    names = ["rec.sigmf-data", "rec.sigmf-meta"]
    for name in names:
        (tmp_path / name).write_bytes(PREVIOUS + name.encode())
    if callable(how):
        assert how(tool, tmp_path) == expected
    else:
        if how == "interrupt":
            local_board.lib = InterruptedLibrary(local_board.lib)
        elif how == "second rename":
            _second_rename_fails(monkeypatch)
        try:
            with pytest.raises(expected), \
                    disk_full_after(8192) if how == "disk full" else nullcontext():
                local_board.capture_to_file(str(tmp_path / "rec"), 4 * N, format="sigmf",
                                            keep_partial=kept)
        finally:
            local_board.lib = vrx5200.load_library(simulated=True)
            monkeypatch.undo()
    partial = ["rec.partial.sigmf-data", "rec.partial.sigmf-meta"] if kept else []
    assert sorted(os.listdir(tmp_path)) == sorted(names + partial)
    for name in names:
        assert (tmp_path / name).read_bytes() == PREVIOUS + name.encode()
    if kept:  # one block read: its recording, described as partial
        assert vrx5200.load_capture(tmp_path / "rec.partial.sigmf-meta").size == N
        meta = json.loads((tmp_path / "rec.partial.sigmf-meta").read_text())
        assert meta["annotations"][0]["core:sample_count"] == N
        assert "did not complete" in meta["global"]["core:description"]
