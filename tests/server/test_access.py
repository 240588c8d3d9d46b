"""Who gets in: the Host and Origin rules, body types, the token's sources and its throttle, a
port already served, HTTPS."""

import json
import os
import shutil
import socket
import subprocess
import time

import pytest

from serving import TOKEN, Server, raw_exchange, refused, tool_path

TOOL = tool_path()
PROXY = "https://lab.example:8443"


@pytest.fixture(scope="module")
def proxied():
    """A server that a proxy at PROXY stands in front of."""
    s = Server(TOOL, token=TOKEN, args=["--allow-origin", PROXY])
    yield s
    s.stop()


def head_status(s, headers, path="/api/v1/registers/14", method="GET"):
    """The status of a request sent with exactly these headers (and the token), and its body."""
    lines = "".join(f"{k}: {v}\r\n" for k, v in headers.items())
    answer = raw_exchange(s.host, s.port, (
        f"{method} {path} HTTP/1.1\r\n{lines}Authorization: Bearer {s.token}\r\n"
        "Connection: close\r\n\r\n").encode())
    top, _, body = answer.partition(b"\r\n\r\n")
    return int(top.split(b" ")[1]), top.decode("latin-1").lower(), body


@pytest.mark.parametrize("headers, status", [
    # This machine's names at any port: the server's own, an SSH tunnel's.
    ({"Host": "127.0.0.1:{port}"}, 200),
    ({"Host": "localhost:{other}"}, 200),
    ({"Host": "LocalHost:{port}"}, 200),
    ({"Host": "127.0.0.2:9"}, 200),
    ({"Host": "[::1]:{other}"}, 200),
    # The page's own origin, plain or behind TLS; the proxy, named with --allow-origin.
    ({"Host": "localhost:{other}", "Origin": "http://localhost:{other}"}, 200),
    ({"Host": "localhost:{other}", "Origin": "https://localhost:{other}"}, 200),
    ({"Host": "lab.example:8443", "Origin": PROXY}, 200),
    ({"Host": "127.0.0.1:{port}", "Origin": PROXY + "/"}, 200),
    # Elsewhere: a rebound name, another site's or another local page's origin.
    ({}, (400, 403)),
    ({"Host": "127.0.0.1.attacker.example:{port}"}, 403),
    ({"Host": "lab.example:8444", "Origin": PROXY}, 403),
    ({"Host": "127.0.0.1:{port}", "Origin": "http://127.0.0.1:{other}"}, 403),
    ({"Host": "127.0.0.1:{port}", "Origin": "https://lab.example:8444"}, 403),
    ({"Host": "127.0.0.1:{port}", "Origin": "null"}, 403),
    ({"Host": "127.0.0.1:{port}", "Sec-Fetch-Site": "same-site"}, 403),
])
def test_where_a_request_may_come_from(proxied, headers, status):
    headers = {k: v.format(port=proxied.port, other=proxied.port + 1)
               for k, v in headers.items()}
    got, top, body = head_status(proxied, headers)
    assert got in (status if isinstance(status, tuple) else (status,)), body
    assert "access-control-allow-origin" not in top


def test_a_refused_page_is_explained_on_a_page_and_a_link_to_it_is_welcome(proxied):
    navigate = {"Sec-Fetch-Mode": "navigate", "Sec-Fetch-Site": "cross-site",
                "Accept": "text/html"}
    for path in ("/", "/api/v1/board"):
        status, top, body = head_status(proxied, {"Host": "rebound.example", **navigate}, path)
        assert status == 403 and "content-type: text/html" in top
        assert b"refused" in body and b"Host" in body, body
    # A link from another site to the panel opens it; the API stays closed to that site.
    assert head_status(proxied, {"Host": f"127.0.0.1:{proxied.port}", **navigate}, "/")[0] == 200
    assert head_status(proxied, {"Host": f"127.0.0.1:{proxied.port}",
                                 "Sec-Fetch-Site": "cross-site"})[0] == 403


@pytest.mark.parametrize("path, method, body, kind, status", [
    ("/api/v1/capture", "POST", b'{"samples": 64}', None, 415),
    ("/api/v1/capture", "POST", b'{"samples": 64}', "text/plain", 415),
    ("/api/v1/capture", "POST", b'{"samples": 64}', "application/x-www-form-urlencoded", 415),
    ("/api/v1/capture", "POST", b'{"samples": 64}', "application/json; charset=utf-8", 200),
    ("/api/v1/registers/3", "PUT", b'{"value": 1}', "multipart/form-data; boundary=x", 415),
    ("/api/v1/fpga", "POST", b"\x00" * 64, "application/json", 415),
    ("/api/v1/play", "POST", b"\x00" * 64, "text/plain", 415),
    ("/api/v1/boards", "GET", b"{}", "application/json", 413),  # takes no body
])
def test_bodies_say_what_they_are(proxied, path, method, body, kind, status):
    headers = {} if kind is None else {"Content-Type": kind}
    got = proxied.request(method, path, body, headers=headers)
    if status == 200:
        assert got[0] == 200, got[2][:200]
    else:
        refused(got, status)


@pytest.mark.parametrize("lengths, status", [
    (["-5"], 400), (["100000000000000000000"], 413), (["18446744073709551615"], 413),
    (["4", "5"], 400), (["1e3"], 400),
])
def test_a_bad_content_length_is_answered_at_once(proxied, lengths, status):
    head = "".join(f"Content-Length: {n}\r\n" for n in lengths)
    started = time.monotonic()
    answer = raw_exchange(proxied.host, proxied.port, (
        f"POST /api/v1/capture HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
        f"{head}\r\n{{}}").encode(), timeout=5)
    assert answer.split(b" ", 2)[1] == str(status).encode(), answer[:100]
    assert time.monotonic() - started < 2


@pytest.mark.parametrize("target, headers, status", [
    ("/api/v1/" + "a" * 5000, "", b"414"),
    ("/api/v1", "X: " + "a" * 9000 + "\r\n", b"431"),
    ("/api/v1", "".join(f"X{i}: y\r\n" for i in range(65)), b"431"),
    ("/api/v1", "".join(f"X{i}: {'y' * 1000}\r\n" for i in range(40)), b"431"),
    ("/api/v1?" + "&".join(["a=b"] * 64), "", b"401"),
    # More query parameters than any route takes: closed at once, unparsed.
    ("/api/v1?" + "&".join(["a=b"] * 65), "", None),
    ("/api/v1?" + "&".join(["a=b"] * 1000), "", None),
])
def test_a_head_past_its_limits_is_answered_before_the_token(proxied, target, headers, status):
    started = time.monotonic()
    answer = raw_exchange(proxied.host, proxied.port, (
        f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1\r\n{headers}\r\n").encode(), timeout=5)
    assert time.monotonic() - started < 4  # not left to the head's deadline (10 s)
    assert (answer.split(b" ", 2)[1] if answer else None) == status, answer[:100]


def test_failed_tokens_are_throttled_per_address():
    s = Server(TOOL, token=TOKEN)
    try:
        answers = [s.request("GET", "/api/v1", token="wrong")[0] for _ in range(12)]
        assert answers[:10] == [401] * 10 and answers[10:] == [429, 429]
        # Throttled, the address is not even checked: the right token waits too, and is told
        # when to come back.
        status, headers, _ = s.request("GET", "/api/v1")
        assert status == 429 and 1 <= int(headers["retry-after"]) <= 2
        # Without credentials nothing is spent or guessed.
        assert s.request("GET", "/api/v1", token=None)[0] in (401, 429)
        time.sleep(1.1)
        assert s.json("GET", "/api/v1")["api"] == 1
    finally:
        s.stop()


def run_tool(*args, env=None, timeout=20):
    environment = {k: v for k, v in os.environ.items() if not k.startswith("VRX5200_TOKEN")}
    environment.update(env or {})
    return subprocess.run([str(TOOL), "--sim", "serve", *args], capture_output=True, text=True,
                          timeout=timeout, env=environment, stdin=subprocess.DEVNULL)


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


# The same port on the same address, on every address, or in the other family (where a client
# naming "localhost" could reach either server).
@pytest.mark.parametrize("first, second", [
    ("127.0.0.1", "127.0.0.1"), ("127.0.0.1", "0.0.0.0"), ("127.0.0.1", "localhost"),
    ("0.0.0.0", "127.0.0.1"), ("127.0.0.1", "[::1]"), ("127.0.0.1", "[::]"),
    ("0.0.0.0", "[::1]"), ("[::1]", "127.0.0.1"), ("[::1]", "0.0.0.0"),
])
def test_a_port_in_use_is_refused_never_shared(first, second):
    if "::" in first + second and not has_ipv6_loopback():
        pytest.skip("no IPv6 loopback here")
    first = Server(TOOL, token=TOKEN, listen=f"{first}:0")
    try:
        first.json("PUT", "/api/v1/registers/5", {"value": 0x5A})
        second = run_tool("--listen", f"{second}:{first.port}", env={"VRX5200_TOKEN": TOKEN})
        assert second.returncode == 3, second
        assert "in use" in second.stderr and "listening" not in second.stdout
        for _ in range(20):  # every request still reaches the first server's board
            assert first.json("GET", "/api/v1/registers/5")["value"] == 0x5A
    finally:
        first.stop()


@pytest.mark.parametrize("args, env, code, says", [
    ([], {"VRX5200_TOKEN": "short"}, 2, "at least 32 characters"),
    (["--token-file", "/nonexistent/token"], {}, 3, "cannot read the token file"),
    (["--token-file", "/dev/null"], {}, 2, "holds no token"),
    (["--tls-cert", "/nonexistent/cert.pem"], {}, 2, "both --tls-cert and --tls-key"),
    (["--tls-cert", "/nonexistent/c.pem", "--tls-key", "/nonexistent/k.pem"], {}, 3,
     "cannot read"),
    (["--listen", "127.0.0.1"], {}, 2, "bad listen address"),
])
def test_unusable_options_stop_the_server_before_it_listens(args, env, code, says):
    done = run_tool(*args, env=env)
    assert done.returncode == code and says in done.stderr, done
    assert "listening" not in done.stdout


def test_the_token_from_a_file_or_the_command_line_before_the_environment(tmp_path):
    mine = "from-the-file-" + "0123456789abcdef" * 2
    path = tmp_path / "token"
    path.write_text(" " + mine + "\n")  # white space at either end is not the token's
    for args, says in [(["--token-file", str(path)], None), (["--token", mine], "process list")]:
        s = Server(TOOL, token=mine, args=args, env={"VRX5200_TOKEN": TOKEN})
        try:
            assert s.json("GET", "/api/v1")["api"] == 1
            refused(s.request("GET", "/api/v1", token=TOKEN), 401)
            assert not any(mine in line for line in s.output)  # not told: it is the user's
            assert (says is None) == (not any("process list" in line for line in s.output))
        finally:
            s.stop()


@pytest.mark.skipif(not shutil.which("openssl"), reason="openssl is missing")
def test_https_with_a_certificate_and_its_key(tmp_path):
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                    "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True)
    s = Server(TOOL, token=TOKEN, args=["--tls-cert", str(cert), "--tls-key", str(key)])
    try:
        assert s.url.startswith("https://")
        # A client that checks the server's certificate against it.
        import ssl
        import urllib.request
        verified = ssl.create_default_context(cafile=str(cert))
        with urllib.request.urlopen(urllib.request.Request(
                f"{s.url}/api/v1", headers={"Authorization": f"Bearer {TOKEN}"}),
                context=verified, timeout=10) as answer:
            assert json.loads(answer.read())["api"] == 1
        status, headers, _ = s.request("POST", "/api/v1/session")
        assert status == 200 and "Secure" in headers["set-cookie"]
        # Plain HTTP gets no answer from it.
        assert b"HTTP/1.1 200" not in raw_exchange(s.host, s.port, (
            f"GET /api/v1 HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer {TOKEN}\r\n"
            "\r\n").encode(), timeout=3)
    finally:
        s.stop()
