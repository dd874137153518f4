"""The product report: written by the installed command, opened in a real
headless Chromium that must show it, fetch nothing and run nothing."""

from __future__ import annotations

import json
import math
import os
import re
import shutil
import subprocess
import xml.etree.ElementTree as ET
from html.parser import HTMLParser
from pathlib import Path

import matplotlib.image
import pytest
from pxr import Sdf

from orvane_platform.core import run_records
from orvane_platform.views import charts, report
from tests.support import (
    EXTREME_HISTORIES,
    HOSTILE_NOTES,
    HOSTILE_TEXT,
    make_product,
    orvane,
    parsed,
    product_with_history,
)

KPIS = ["cd", "cl", "cm_pitch", "lateral_g", "yaw_rate", "roll_angle"]
VERSIONS = ["v0.1", "v0.2", "v0.3"]
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


def chromium(page: Path, profile: Path, *action: str) -> subprocess.CompletedProcess[str]:
    """One headless Chromium run on `page` in a profile of its own."""
    assert CHROMIUM, "chromium is installed by the Makefile's system packages"
    # The browser is a tool here, not under test: a sanitizer preloaded for
    # the modules (make test-asan) stays out of it.
    environment = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    return subprocess.run(
        [
            CHROMIUM,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            f"--user-data-dir={profile}",
            "--no-first-run",
            *action,
            page.as_uri(),
        ],
        capture_output=True,
        text=True,
        timeout=120,
        stdin=subprocess.DEVNULL,
        env=environment,
    )


def page_requests(net_log: Path) -> list[str]:
    """The URLs a page asked for, from Chromium's net log: the browser's own
    background requests (update checks, say) have no origin and are left out."""
    text = net_log.read_text()
    try:
        log = json.loads(text)
    except json.JSONDecodeError:  # a log cut short at exit lacks its closing brackets
        log = json.loads(text.rstrip().rstrip(",") + "]}")
    start_job = log["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"]
    starts = (event.get("params", {}) for event in log["events"] if event["type"] == start_job)
    return [params["url"] for params in starts if "url" in params and params.get("initiator") != "not an origin"]


def fetches(urls: list[str]) -> list[str]:
    return [url for url in urls if re.match(r"(https?|wss?)://", url)]


class References(HTMLParser):
    """The tags, attributes and style sheets of a page, as a browser parses them."""

    def __init__(self, page: str) -> None:
        super().__init__()
        self.tags: set[str] = set()
        self.attributes: list[tuple[str, str]] = []
        self.styles: list[str] = []  # <style> texts
        self._in_style = False
        self.feed(page)

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.tags.add(tag)
        self._in_style = tag == "style"
        self.attributes += [(name, value or "") for name, value in attrs]

    def handle_endtag(self, tag: str) -> None:
        self._in_style = False

    def handle_data(self, data: str) -> None:
        if self._in_style:
            self.styles.append(data)


@pytest.fixture(scope="module")
def written(charted_demo: Path) -> dict:
    summary = parsed(orvane("report", "sedan", "-o", "report.html", "--json", cwd=charted_demo))
    assert summary["path"] == "report.html" and (charted_demo / "report.html").is_file()
    return summary


@pytest.fixture(scope="module")
def html(charted_demo: Path, written: dict) -> str:
    return (charted_demo / "report.html").read_text()


@pytest.fixture(scope="module")
def browsed(charted_demo: Path, written: dict, tmp_path_factory: pytest.TempPathFactory) -> dict:
    """The report in Chromium: a screenshot with the net log of that visit, and the DOM."""
    folder = tmp_path_factory.mktemp("browser")
    page = charted_demo / "report.html"
    shot = chromium(
        page,
        folder / "profile",
        f"--screenshot={folder / 'page.png'}",
        "--window-size=1200,3000",
        f"--log-net-log={folder / 'net.json'}",
    )
    assert (folder / "page.png").is_file(), shot.stderr
    dom = chromium(page, folder / "profile", "--dump-dom")
    assert dom.returncode == 0 and "</html>" in dom.stdout, dom.stderr
    return {"screenshot": folder / "page.png", "net_log": folder / "net.json", "dom": dom.stdout}


def test_summary_names_what_the_report_holds(written):
    assert written["kpis"] == KPIS and written["releases"] == VERSIONS
    assert written["provenance"] == "verified" and written["competitors"] == ["rival_a", "rival_b"]
    assert written["gates"].endswith("(5 total)") and written["bytes"] > 10_000


def test_screenshot_shows_a_drawn_page(browsed):
    image = matplotlib.image.imread(browsed["screenshot"])
    assert image.shape[:2] == (3000, 1200)
    colours = {tuple(pixel) for pixel in (image[..., :3] * 255).astype(int).reshape(-1, 3)[::7]}
    assert len(colours) > 100  # text, tables, verdict colours, charts


def test_page_text_holds_kpis_verdicts_releases_and_provenance(browsed):
    text = re.sub(r"<[^>]+>", " ", browsed["dom"])
    for word in [*KPIS, *VERSIONS, "PASS", "FAIL", "verified", "Rival A", "roofline_slope_deg", "sample_dynamics"]:
        assert word in text, word
    assert re.search(r'class="verdict verdict-fail">FAIL<', browsed["dom"])
    assert "v0.2 \u2192 v0.3" in text and "manoeuvre: skidpad" in text  # release changes; the case text


def test_page_fetches_nothing(browsed, html):
    assert fetches(page_requests(browsed["net_log"])) == []
    # Nothing in the file refers outside it: in-page references only.
    assert "Content-Security-Policy" in html and "default-src 'none'" in html
    page = References(html)
    assert not page.tags & {"script", "link", "iframe", "object", "embed", "img", "image", "base"}
    assert not {name for name, _ in page.attributes} & {"src", "srcset", "action", "data", "poster", "background"}
    assert {value[:1] for name, value in page.attributes if name.endswith("href")} == {"#"}
    styles = " ".join(page.styles + [value for _, value in page.attributes])  # clip-path="url(#...)" too
    assert set(re.findall(r"url\(\s*(.)", styles)) <= {"#"} and "@import" not in styles


def test_the_net_log_check_sees_a_page_that_fetches(tmp_path):
    page = tmp_path / "fetching.html"
    page.write_text('<!DOCTYPE html><img src="http://127.0.0.1:9/probe.png">')
    chromium(page, tmp_path / "profile", f"--log-net-log={tmp_path / 'net.json'}", f"--screenshot={tmp_path / 'p.png'}")
    assert fetches(page_requests(tmp_path / "net.json")) == ["http://127.0.0.1:9/probe.png"]


def test_file_texts_stay_text(html, browsed):
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in html and HOSTILE_TEXT not in html
    assert "&lt;img src=x onerror=alert(2)&gt;" in html and HOSTILE_NOTES not in html
    # Parsed by the browser, they are still text: no script or image element exists.
    assert not re.search(r"<(script|img)\b", browsed["dom"])
    assert HOSTILE_TEXT in re.sub(r"<[^>]+>", "", browsed["dom"]).replace("&lt;", "<").replace("&gt;", ">")


def test_history_keys_stay_text_and_unplaceable_entries_are_left_out(tmp_path):
    path = make_product(tmp_path / "odd", layers={"prototype": {}})
    layer = Sdf.Layer.FindOrOpen(str(path.parent / "layers/prototype.usda"))
    history = Sdf.AttributeSpec(layer.GetPrimAtPath("/Car"), "resultsHistory", Sdf.ValueTypeNames.StringArray)
    history.default = [
        "2026-01-01T00:00:00+00:00|domain=aero|<script>alert(3)</script>=0.5|solver=x",
        "20260102T000000|domain=aero|<script>alert(3)</script>=0.6|solver=x",  # the legacy time form
        "yesterday|domain=aero|stale=1.0|solver=x",  # no time to place it at
        "2026-01-03T00:00:00+00:00|domain=aero| padded =2.0|bell\x07=3.0|solver=x",  # names no chart takes
    ]
    layer.Save()
    assert charts.charted_kpis(path) == ["<script>alert(3)</script>"]
    page = report.report_html(path)  # the chart's title and ids hold the name too
    assert "<script" not in page and page.count("&lt;script&gt;alert(3)&lt;/script&gt;") >= 2


def test_an_edited_run_record_shows_as_a_mismatch(charted_demo, tmp_path):
    product = shutil.copytree(charted_demo / "products/sedan", tmp_path / "sedan") / "sedan.usda"
    run = Sdf.Layer.FindOrOpen(run_records.list_runs(product)[-1]["layer"])
    edited = next(spec for spec in run.rootPrims[0].nameChildren["SimulationRuns"].nameChildren)
    case = edited.attributes["orvane:run:provenance:case_yaml"]
    case.default = case.default.replace("manoeuvre: skidpad", "manoeuvre: step_steer")
    run.Save()
    assert re.search(r'class="verdict verdict-mismatch">mismatch<', report.report_html(product))
    assert report.write_report(product, tmp_path / "r.html")["provenance"] == "mismatch"


def test_a_bare_product_says_what_it_lacks(tmp_path):
    path = make_product(tmp_path / "bare", root={"orvane:product:mass": 1200.0})
    page = report.report_html(path)
    for note in ("No results in the history yet", "No release frozen yet", "No run recorded yet"):
        assert note in page
    assert 'id="benchmark"' not in page and "<td>mass</td>" in page


def test_writing_replaces_the_file_whole(charted_demo, tmp_path):
    target = tmp_path / "report.html"
    target.write_text("old")
    summary = report.write_report(charted_demo / "products/sedan/sedan.usda", target)
    assert target.read_text().startswith("<!DOCTYPE html>") and summary["bytes"] == target.stat().st_size
    assert [entry.name for entry in tmp_path.iterdir()] == ["report.html"]  # no temporary file left


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (("sedan", "-o", "report.pdf"), "must end in .html or .htm"),
        (("nowhere", "-o", "r.html"), "nowhere"),
        (("sedan", "-o", "no-folder/r.html"), "No such file or directory: 'no-folder'"),
    ],
)
def test_report_command_refuses_bad_input(charted_demo, arguments, message):
    refused = orvane("report", *arguments, cwd=charted_demo)
    assert refused.returncode == 2 and message in refused.stderr and "Traceback" not in refused.stderr


@pytest.mark.parametrize("values", EXTREME_HISTORIES.values(), ids=EXTREME_HISTORIES.keys())
def test_the_report_draws_any_finite_values_and_leaves_the_others_out(tmp_path, values):
    product = product_with_history(tmp_path / "car", values)
    done = orvane("report", str(product), "-o", "report.html", "--json", cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == "", done.stderr  # no error, no warning
    assert parsed(done)["kpis"] == ["cd"]
    page = (tmp_path / "report.html").read_text()
    chart = ET.fromstring(page[page.index("<svg") : page.index("</svg>") + len("</svg>")])
    [series] = [element for element in chart.iter() if element.get("id") == "cd:series"]
    assert len(series.findall(".//{http://www.w3.org/2000/svg}use")) == len([v for v in values if math.isfinite(v)])
