"""The built site as a person sees it: the front page and a guide rendered in headless
Chromium, a screenshot of each kept, and their navigation and first heading checked."""

import html
import os
import pathlib
import re
import shutil
import signal
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SITE = ROOT / "build" / "docs"
SHOTS = ROOT / "build" / "docs-shots"
BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")
GUIDES = ["getting-started", "concepts", "records", "command", "runtimes", "hands-and-eyes", "speech", "agents",
          "cpp", "installing", "reference", "reliability", "benchmarks", "development"]

pytestmark = pytest.mark.skipif(BROWSER is None, reason="the browser's toolchain root has chromium")


def browse(page: str, profile: pathlib.Path, *what: str) -> str:
    """Run the browser once on a page of the site; its standard output. Bounded: a browser
    that hangs is ended with its whole process group."""
    command = [BROWSER, "--headless=new", f"--user-data-dir={profile}", "--no-first-run", "--disable-gpu",
               "--hide-scrollbars", "--window-size=1280,900", *what, (SITE / page).as_uri()]
    if os.geteuid() == 0:
        command.insert(1, "--no-sandbox")  # the browser's own sandbox refuses to run as root
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                          start_new_session=True) as browser:
        try:
            out, _ = browser.communicate(timeout=90)
        except subprocess.TimeoutExpired:
            os.killpg(browser.pid, signal.SIGKILL)
            browser.communicate()
            pytest.fail(f"the browser did not render {page} within 90 s")
    assert browser.returncode == 0, f"the browser exited {browser.returncode} on {page}"
    return out


def first_heading(markdown: pathlib.Path) -> str:
    return next(line[2:].strip() for line in markdown.read_text().splitlines() if line.startswith("# "))


def text(fragment: str) -> str:
    return html.unescape(re.sub(r"<[^>]+>", "", fragment)).replace("¶", "").strip()


@pytest.mark.parametrize("page, source", [("index.html", "index.md"), ("hands-and-eyes.html", "hands-and-eyes.md")])
def test_a_page_renders_with_its_navigation_and_heading(page, source, tmp_path):
    dom = browse(page, tmp_path / "profile", "--dump-dom")
    headings = re.findall(r"<h1[^>]*>(.*?)</h1>", dom, re.S)
    assert headings and text(headings[0]) == first_heading(ROOT / "docs" / source)
    navigation = re.search(r'<div class="sidebar-tree">(.*?)</div>', dom, re.S)
    assert navigation, "no navigation in the rendered page"
    # Every guide one click away from any page: the newcomer's two clicks from the front page.
    linked = set(re.findall(r'href="(?:\./)?([a-z-]+)\.html"', navigation.group(1)))
    others = set(GUIDES) - {page.removesuffix(".html")}  # the page itself is linked as "#"
    assert others <= linked, f"not in the navigation: {others - linked}"

    SHOTS.mkdir(parents=True, exist_ok=True)
    shot = SHOTS / page.replace(".html", ".png")
    shot.unlink(missing_ok=True)
    browse(page, tmp_path / "profile", f"--screenshot={shot}")
    assert shot.stat().st_size > 20_000, "the screenshot is nearly empty"
    from matplotlib import image
    pixels = image.imread(shot)
    assert pixels.shape[:2] == (900, 1280) and pixels.std() > 0.05, "the screenshot is one colour"
