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
                 "--window-size=1280,900"):
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
    browser.get(server.url + "/")
    wait(browser, lambda d: text(d, "status") == "connected")
    return browser


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


def trace_pixels(driver, canvas_id):
    """How many pixels of the canvas have the spectrum trace's green."""
    return driver.execute_script("""
        const c = document.getElementById(arguments[0]);
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let n = 0;
        for (let i = 0; i < d.length; i += 4) {
          if (d[i + 1] > 200 && d[i] < 170 && d[i + 2] < 200) ++n;
        }
        return n;""", canvas_id)


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
    assert trace_pixels(page, "spectrum") > 500
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
    page.save_screenshot(str(shots / "panel-fault.png"))
    server.json("POST", "/api/v1/sim", {"plugged": True})
    fill(page, "samples", 65536)
    capture(page)
    assert "error" not in page.find_element(By.ID, "status").get_attribute("class")


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


def test_token_is_asked_for(browser, shots):
    server = Server(tool_path(), token="secret123")
    try:
        browser.get(server.url + "/")
        wait(browser, lambda d: "401" in text(d, "status"))
        assert "error" in browser.find_element(By.ID, "status").get_attribute("class")
        assert browser.find_element(By.ID, "token-form").is_displayed()
        browser.save_screenshot(str(shots / "panel-token.png"))

        browser.get("about:blank")
        browser.get(server.url + "/#token=secret123")
        wait(browser, lambda d: text(d, "status") == "connected")
        assert "#token" not in browser.current_url
        assert not browser.find_element(By.ID, "token-form").is_displayed()
        capture(browser)
        assert metric(browser, "snr_db") > 30
        raw = browser.find_element(By.ID, "download-raw").get_attribute("href")
        assert "token=secret123" in raw
    finally:
        server.stop()
