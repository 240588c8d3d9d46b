"""The front panel of `vrx5200 serve` in headless Chromium, against the simulated board.

The server comes from conftest.py (the tool is $VRX5200_TOOL); screenshots go into
$VRX5200_SCREENSHOTS (default: "screenshots" in pytest's temporary directory).
"""

import os
import pathlib
import re
import shutil
import time
import urllib.parse

import numpy as np

import pytest

webdriver = pytest.importorskip("selenium.webdriver", reason="python3-selenium is missing")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

from serving import Server, tool_path  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
if not (shutil.which(CHROMIUM) and shutil.which(CHROMEDRIVER)):
    pytest.skip("chromium or chromedriver is missing", allow_module_level=True)


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-background-networking", "--disable-extensions", "--no-first-run",
                 "--window-size=1280,900",
                 # A name that resolves to this machine, as a rebound DNS name would.
                 "--host-resolver-rules=MAP rebound.example 127.0.0.1"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def shots(tmp_path_factory):
    path = os.environ.get("VRX5200_SCREENSHOTS")
    path = pathlib.Path(path) if path else tmp_path_factory.getbasetemp() / "screenshots"
    path.mkdir(parents=True, exist_ok=True)
    return path


@pytest.fixture(scope="module")
def page(browser, server):
    browser.get(server.panel)  # the address the server printed, with its token
    wait(browser, lambda d: text(d, "status") == "connected")
    assert "#token" not in browser.current_url
    return browser


@pytest.fixture(scope="module")
def downloads(browser, tmp_path_factory):
    path = tmp_path_factory.mktemp("downloads")
    browser.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow",
                                                         "downloadPath": str(path)})
    return path


def wait(driver, condition, timeout=20):
    return WebDriverWait(driver, timeout, poll_frequency=0.05).until(condition)


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def fill(driver, element_id, value):
    field = driver.find_element(By.ID, element_id)
    field.clear()
    field.send_keys(str(value))


def metric(driver, key):
    """A metrics table cell as a number (frequencies in Hz)."""
    cell = driver.find_element(By.CSS_SELECTOR, f'#metrics td[data-key="{key}"]').text
    number, _, unit = cell.partition(" ")
    return float(number) * {"": 1, "Hz": 1, "kHz": 1e3, "MHz": 1e6, "GHz": 1e9}[unit]


def trace_pixels(driver, canvas_id, color="green"):
    """How many pixels of the canvas have the live trace's green, the stale trace's grey or the
    max-hold trace's orange."""
    return driver.execute_script("""
        const c = document.getElementById(arguments[0]);
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        const kind = arguments[1];
        let n = 0;
        for (let i = 0; i < d.length; i += 4) {
          const [r, g, b] = [d[i], d[i + 1], d[i + 2]];
          if (kind === 'green' && g > 200 && r < 170 && b < 200) ++n;
          if (kind === 'grey' && Math.abs(r - 0x5d) < 8 && Math.abs(g - 0x68) < 8 &&
              Math.abs(b - 0x73) < 8) ++n;
          if (kind === 'orange' && r > 230 && g > 110 && g < 160 && b < 120) ++n;
        }
        return n;""", canvas_id, color)


def capture(driver):
    """Clicks Capture and waits for the spectrum drawn; answers the capture's id."""
    spectrum = driver.find_element(By.ID, "spectrum")
    before = spectrum.get_attribute("data-capture")
    driver.find_element(By.ID, "capture").click()
    wait(driver, lambda d: spectrum.get_attribute("data-capture") not in (None, before))
    return spectrum.get_attribute("data-capture")


def link_path(driver, element_id):
    """The path and query of a link on the page."""
    url = urllib.parse.urlsplit(driver.find_element(By.ID, element_id).get_attribute("href"))
    return f"{url.path}?{url.query}" if url.query else url.path


def script_errors(driver):
    """The page's script errors (failed requests are the page's business, shown on it)."""
    return [e["message"] for e in driver.get_log("browser")
            if e["level"] == "SEVERE" and "Failed to load resource" not in e["message"]]


def test_capture_draws_spectrum_and_metrics(page, sim, shots):
    keys = [b["key"] for b in sim.json("GET", "/api/v1/boards")]
    assert keys, "the simulated board is not listed"
    wait(page, lambda d: keys[0] in text(d, "boards"))
    assert "simulated" in text(page, "api-info")

    latencies = []
    for _ in range(3):  # the best of three: the machine may be busy
        capture_id = capture(page)
        latencies.append(float(text(page, "latency")))
    print(f"64 Ki capture drawn in {min(latencies):.1f} ms (best of {latencies})")
    assert min(latencies) < 100

    # The sim fixture's signal: 997 cycles in 65,536 samples, amplitude 20,000, noise 3 codes.
    rate = sim.json("GET", "/api/v1/captures")[-1]["rate_hz"]
    assert metric(page, "fundamental_hz") == pytest.approx(997 / 65536 * rate, abs=rate / 65536)
    assert metric(page, "fundamental_dbfs") == pytest.approx(-4.3, abs=0.2)
    assert 60 < metric(page, "snr_db") < 100
    assert 60 < metric(page, "sinad_db") < 100
    assert 60 < metric(page, "sfdr_dbc") < 140
    assert 9 < metric(page, "enob") < 16
    assert metric(page, "noise_floor_dbfs") < -90
    # Every figure says its unit: the noise floor per bin, its density per hertz.
    units = {row.find_element(By.CSS_SELECTOR, "td[data-key]").get_attribute("data-key"):
             row.find_elements(By.TAG_NAME, "td")[-1].text
             for row in page.find_elements(By.CSS_SELECTOR, "#metrics tr")}
    assert units["noise_floor_dbfs"] == "dBFS/bin" and units["nsd_dbfs_hz"] == "dBFS/Hz"
    assert units["sfdr_dbc"] == "dBc" and units["fundamental_dbfs"] == "dBFS"
    assert metric(page, "nsd_dbfs_hz") < metric(page, "noise_floor_dbfs")
    assert trace_pixels(page, "spectrum") > 500
    assert page.find_element(By.ID, "trace-state").get_attribute("data-state") == "live"
    assert page.find_element(By.ID, "connection").get_attribute("data-state") == "live"
    assert int(page.find_element(By.ID, "spectrum").get_attribute("data-points")) >= 1024

    # The time plot reads the head of the capture; the download links fetch the whole of it.
    wait(page, lambda d: d.find_element(By.ID, "timeplot").get_attribute("data-points") == "1024")
    npy = link_path(page, "download-npy")
    assert npy == f"/api/v1/captures/{capture_id}?format=npy"
    assert sim.raw(npy)[:6] == b"\x93NUMPY"
    assert len(sim.raw(link_path(page, "download-raw"))) == 2 * 65536

    # A drag across part of the frequency axis zooms in; a double-click zooms out again.
    canvas = page.find_element(By.ID, "spectrum")
    webdriver.ActionChains(page).move_to_element_with_offset(canvas, -250, 0).click_and_hold() \
        .move_by_offset(60, 0).release().perform()
    wait(page, lambda d: canvas.get_attribute("data-zoomed") == "yes")
    page.save_screenshot(str(shots / "panel-zoom.png"))
    webdriver.ActionChains(page).double_click(canvas).perform()
    wait(page, lambda d: canvas.get_attribute("data-zoomed") == "no")

    page.save_screenshot(str(shots / "panel-capture.png"))
    assert not script_errors(page)


def test_loopback_tone_is_found(page, server, shots):
    assert page.find_element(By.ID, "loopback").is_displayed()
    fill(page, "gen-words", 65536)
    fill(page, "gen-cycles", 2001)
    fill(page, "gen-amplitude", -3)
    loopback = page.find_element(By.ID, "loopback")
    if not loopback.is_selected():
        loopback.click()
    page.find_element(By.ID, "play").click()
    wait(page, lambda d: text(d, "status").startswith("playing tone"))
    # Harmonics from the converter model, for the markers.
    server.json("POST", "/api/v1/sim", {"loopback": {"on": True, "noise_rms": 2,
                                                     "harmonics_dbc": [-70, -78, -85, -90]}})
    capture_id = capture(page)
    rate = next(c["rate_hz"] for c in server.json("GET", "/api/v1/captures")
                if c["id"] == int(capture_id))
    played = 2001 / 65536 * rate
    assert abs(metric(page, "fundamental_hz") - played) <= rate / 65536
    assert abs(metric(page, "fundamental_dbfs") + 3) < 0.5
    page.save_screenshot(str(shots / "panel-loopback.png"))
    assert not script_errors(page)


def test_register_write_then_read(page):
    fill(page, "reg-addr", 13)
    fill(page, "reg-value", "0x5A")
    page.find_element(By.ID, "reg-write").click()
    wait(page, lambda d: "written" in text(d, "status"))
    fill(page, "reg-value", 0)
    page.find_element(By.ID, "reg-read").click()
    wait(page, lambda d: d.find_element(By.ID, "reg-value").get_attribute("value") == "90")
    assert "0x5A" in text(page, "reg-result")


def test_board_fault_shows_code_and_meaning(page, server, shots):
    # The bench board unplugs itself during the next capture: the library's failure, with its
    # result code and the library's sentence for it, reaches the status line.
    server.json("POST", "/api/v1/sim", {"unplug_after_blocks": 2})
    fill(page, "samples", 1048576)
    page.find_element(By.ID, "capture").click()
    wait(page, lambda d: "error" in d.find_element(By.ID, "status").get_attribute("class"))
    status = text(page, "status")
    assert re.match(r"capture: .+ \(HTTP 5\d\d\); code \d+: .+", status), status
    # The last good trace stays, greyed and marked with its time and the error.
    state = page.find_element(By.ID, "trace-state")
    assert state.get_attribute("data-state") == "stale"
    assert re.search(r"not live: capture failed: .+ \(HTTP 5\d\d\) · capture #\d+ taken at "
                     r"\d\d:\d\d:\d\d", state.text), state.text
    assert page.find_element(By.ID, "spectrum").get_attribute("data-state") == "stale"
    assert trace_pixels(page, "spectrum", "grey") > 200
    assert trace_pixels(page, "spectrum") < 50
    page.save_screenshot(str(shots / "panel-stale.png"))
    server.json("POST", "/api/v1/sim", {"plugged": True})
    fill(page, "samples", 65536)
    capture(page)
    assert "error" not in page.find_element(By.ID, "status").get_attribute("class")
    assert state.get_attribute("data-state") == "live"


def test_fpga_load_reports_its_outcome(page, shots, tmp_path):
    image = tmp_path / "small.rbf"
    image.write_bytes(bytes(range(256)) * 16)
    page.find_element(By.ID, "load-file").send_keys(str(image))
    page.find_element(By.ID, "load").click()
    transcript = page.find_element(By.ID, "transcript")
    wait(page, lambda d: transcript.get_attribute("data-outcome") in ("done", "failed"), 60)
    outcome = transcript.get_attribute("data-outcome")
    lines = text(page, "transcript").splitlines()
    assert len(lines) >= 2, lines  # the board's transcript and the outcome
    status = page.find_element(By.ID, "status")
    if outcome == "done":
        assert "FPGA loaded" in status.text
        assert float(page.find_element(By.ID, "load-progress").get_attribute("value")) == 1
    else:
        assert "error" in status.get_attribute("class")
        assert "FPGA load:" in status.text and "HTTP" in status.text
        assert lines[-1].startswith("failed:")
    page.save_screenshot(str(shots / "panel-load.png"))
    assert not script_errors(page)


def test_continuous_capture_reports_rate(page, shots):
    fill(page, "samples", 16384)
    fill(page, "average", 4)
    page.find_element(By.ID, "continuous").click()
    wait(page, lambda d: re.fullmatch(r"[\d.]+", text(d, "sps")))
    time.sleep(2)
    rate = float(text(page, "sps"))
    page.save_screenshot(str(shots / "panel-continuous.png"))
    page.find_element(By.ID, "continuous").click()
    wait(page, lambda d: not d.find_element(By.ID, "capture").get_attribute("disabled"))
    print(f"continuous 16 Ki captures: {rate} spectra/s")
    assert rate >= 15
    assert "average 4/4" in text(page, "average-state")
    assert not script_errors(page)


def marker_rows(driver):
    return driver.execute_script("""
        return [...document.querySelectorAll('#markers tbody tr[data-marker]')]
            .map((row) => [...row.cells].map((cell) => cell.textContent));""")


def test_markers_max_hold_and_exports(page, sim, shots, downloads):
    server = sim
    fill(page, "samples", 65536)
    capture(page)
    page.find_element(By.ID, "clear-markers").click()
    page.find_element(By.ID, "peak-marker").click()
    wait(page, lambda d: len(marker_rows(d)) == 1)
    assert marker_rows(page)[0][0] == "M1" and float(marker_rows(page)[0][2]) > -10
    # A shift-click a third of the way along: a delta against M1, in Hz and dB.
    canvas = page.find_element(By.ID, "spectrum")
    webdriver.ActionChains(page).move_to_element_with_offset(canvas, -canvas.size["width"] // 6, 0)\
        .key_down(webdriver.Keys.SHIFT).click().key_up(webdriver.Keys.SHIFT).perform()
    wait(page, lambda d: len(marker_rows(d)) == 2)
    name, frequency, level, df, dlevel = marker_rows(page)[1]
    assert name == "D1" and df.endswith("Hz") and float(dlevel) < -20

    # Max hold keeps the tone where it was after the signal moves.
    page.find_element(By.ID, "max-hold").click()
    server.json("POST", "/api/v1/sim", {"signal": {"cycles": 3001, "amplitude": 20000.0,
                                                   "noise_rms": 3.0, "seed": 5}})
    capture(page)
    assert trace_pixels(page, "spectrum", "orange") > 20
    page.save_screenshot(str(shots / "panel-markers-max-hold.png"))

    capture_id = page.find_element(By.ID, "spectrum").get_attribute("data-capture")
    points = int(page.find_element(By.ID, "spectrum").get_attribute("data-points"))
    page.find_element(By.ID, "export-csv").click()
    page.find_element(By.ID, "export-png").click()
    csv, png = downloads / f"spectrum-{capture_id}.csv", downloads / f"spectrum-{capture_id}.png"
    wait(page, lambda d: csv.exists() and png.exists())
    rows = np.loadtxt(csv, delimiter=",", skiprows=1)
    assert csv.read_text().splitlines()[0] == "frequency_hz,dbfs,max_hold_dbfs"
    assert rows.shape == (points, 3) and np.all(rows[:, 2] >= rows[:, 1])
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    page.find_element(By.ID, "max-hold").click()
    server.json("POST", "/api/v1/sim", {"signal": {"cycles": 997, "amplitude": 20000.0,
                                                   "noise_rms": 3.0, "seed": 5}})
    assert not script_errors(page)


def metrics_overflow(driver):
    """The figures and units of the metrics table that reach past its panel's edge."""
    return driver.execute_script("""
        const edge = document.getElementById('metrics-panel').getBoundingClientRect().right;
        return [...document.querySelectorAll('#metrics td')]
            .filter((cell) => cell.getBoundingClientRect().right > edge + 0.5)
            .map((cell) => cell.textContent);""")


def test_the_layout_works_at_1024_by_700(page, shots):
    capture(page)
    assert not metrics_overflow(page)  # at the browser's own size
    page.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                         {"width": 1024, "height": 700, "deviceScaleFactor": 1, "mobile": False})
    try:
        capture(page)
        assert not metrics_overflow(page)
        box = page.execute_script("""
            const r = (id) => document.getElementById(id).getBoundingClientRect();
            return {scroll: document.documentElement.scrollWidth, spectrum: r('spectrum'),
                    capture: r('capture'), connection: r('connection'), status: r('status')};""")
        assert box["scroll"] <= 1024
        assert box["spectrum"]["height"] >= 200 and box["spectrum"]["width"] >= 400
        for name in ("spectrum", "capture", "connection", "status"):
            assert 0 <= box[name]["top"] and box[name]["bottom"] <= 700, (name, box[name])
            assert 0 <= box[name]["left"] and box[name]["right"] <= 1024, (name, box[name])
        page.save_screenshot(str(shots / "panel-1024x700.png"))
    finally:
        page.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def test_refused_then_let_in_then_the_server_gone(browser, shots):
    server = Server(tool_path(), token="secret-of-the-panel-test-0123456789")
    try:
        # Without a token, then with a wrong one: refused, said so, and the token asked for.
        for address, why in [(server.url + "/", "needs its token"),
                             (server.url + "/#token=wrong-" + "0" * 32, "wrong token")]:
            browser.get("about:blank")
            browser.get(address)
            wait(browser, lambda d: d.find_element(By.ID, "refused").is_displayed())
            assert why in text(browser, "refused-why")
            assert browser.find_element(By.ID, "connection").get_attribute("data-state") == \
                "refused"
            assert "#token" not in browser.current_url
        browser.save_screenshot(str(shots / "panel-refused.png"))

        # The token given on the page: traded for a cookie no script reads, and in no address.
        fill(browser, "token", server.token)
        browser.find_element(By.CSS_SELECTOR, "#token-form button").click()
        wait(browser, lambda d: text(d, "status") == "connected")
        wait(browser, lambda d: d.find_element(By.ID, "connection").get_attribute("data-state")
             == "live")
        assert not browser.find_element(By.ID, "refused").is_displayed()
        assert server.token not in browser.execute_script("return document.cookie")
        capture(browser)
        assert metric(browser, "snr_db") > 30
        raw = browser.find_element(By.ID, "download-raw").get_attribute("href")
        assert "token" not in raw and server.token not in raw
        browser.save_screenshot(str(shots / "panel-live.png"))

        # The server gone: said at once, and the trace no longer live.
        server.stop()
        wait(browser, lambda d: d.find_element(By.ID, "connection").get_attribute("data-state")
             == "gone")
        assert "server gone" in text(browser, "connection")
        assert browser.find_element(By.ID, "trace-state").get_attribute("data-state") == "stale"
        browser.save_screenshot(str(shots / "panel-server-gone.png"))
    finally:
        server.stop()


def test_a_rebound_name_gets_a_page_that_explains(browser, server, shots):
    browser.get(f"http://rebound.example:{server.port}/")
    wait(browser, lambda d: d.find_elements(By.ID, "refused"))
    assert "refused" in text(browser, "refused") and "Host" in text(browser, "why")
    browser.save_screenshot(str(shots / "panel-refused-host.png"))
