"""The README and docs/*.md: every relative link reaches a file, every #anchor a heading of
its page (GitHub's slugs), and the README stays short enough to read."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
README_MAX_LINES = 250

FENCE = re.compile(r"^(```|~~~)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")
INLINE_CODE = re.compile(r"`[^`\n]*`")
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")


def slug(heading: str) -> str:
    """GitHub's anchor for a heading: lower case, punctuation but - and _ dropped, spaces
    made hyphens."""
    text = heading.replace("`", "").strip().lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def prose_lines(path: Path) -> list[str]:
    """The page's lines outside code blocks."""
    lines, fenced = [], False
    for line in path.read_text(encoding="utf-8").splitlines():
        if FENCE.match(line.lstrip()):
            fenced = not fenced
        elif not fenced:
            lines.append(line)
    return lines


def anchors(path: Path) -> set[str]:
    seen: dict[str, int] = {}
    result = set()
    for line in prose_lines(path):
        match = HEADING.match(line)
        if match:
            base = slug(match.group(2))
            count = seen.get(base, 0)
            seen[base] = count + 1
            result.add(base if count == 0 else f"{base}-{count}")
    return result


def links(path: Path) -> list[str]:
    return [target for line in prose_lines(path) for target in LINK.findall(INLINE_CODE.sub("", line))]


def test_slugs_follow_github() -> None:
    assert slug("Shared state across workers and hosts") == "shared-state-across-workers-and-hosts"
    assert slug("Administration, health, metrics") == "administration-health-metrics"
    assert slug("Quick start 1: score telemetry in Python") == "quick-start-1-score-telemetry-in-python"
    assert slug("Shared state: `velkora.shared_state`") == "shared-state-velkorashared_state"


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_relative_links_resolve(page: Path) -> None:
    broken = []
    for target in links(page):
        if re.match(r"^[a-z][a-z0-9+.-]*:", target):  # http:, https:, mailto:
            continue
        file_part, _, anchor = target.partition("#")
        dest = (page.parent / file_part).resolve() if file_part else page
        if not dest.exists():
            broken.append(f"{target}: no such file")
        elif anchor and dest.suffix == ".md" and anchor not in anchors(dest):
            broken.append(f"{target}: no heading #{anchor} in {dest.relative_to(ROOT)}")
    assert not broken, f"{page.relative_to(ROOT)}: " + "; ".join(broken)


def test_readme_is_short() -> None:
    count = len((ROOT / "README.md").read_text(encoding="utf-8").splitlines())
    assert count <= README_MAX_LINES, f"README.md has {count} lines, at most {README_MAX_LINES}"
