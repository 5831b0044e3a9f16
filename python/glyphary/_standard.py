"""Standard emoji as people post them from smartphones and desktops, to neutral notation.

Two calls through the module: Localize in the mode of the standard-emoji input table (ids are
the emoji as written, codes the intermediate notation U+FDD0 id U+FDD1), then Localize in a
mode with no table, whose undefined format writes each id in the notation wanted.
"""

import re
import threading

from ._glyphary import Glyphary

#: The mode whose map is keyed by standard emoji (unicode-in.map in the sample data).
STANDARD_INPUT_MODE = 5
_NONCHARACTERS = re.compile("([\ufdd0\ufdd1])")
# Characters that make what precedes them part of a longer sequence (ZWJ, emoji presentation,
# keycap, skin tones, tags), written as the module sees them: UTF-16 units.
_CONTINUES = r"\x{200D}|\x{FE0F}|\x{20E3}|\x{D83C}[\x{DFFB}-\x{DFFF}]|\x{DB40}[\x{DC20}-\x{DC7F}]"


def _units(text: str) -> str:
    data = text.encode("utf-16-le", "surrogatepass")
    return "".join(
        "\\x{%04X}" % int.from_bytes(data[i : i + 2], "little") for i in range(0, len(data), 2)
    )


def standard_emoji_pattern(ids: list[str]) -> str:
    """A LocalizePattern that finds each of `ids` standing alone, longest first."""
    ordered = sorted(ids, key=lambda s: (-len(s.encode("utf-16-le", "surrogatepass")), s))
    return "(?<!\\x{200D})(%s)(?!%s)" % ("|".join(_units(i) for i in ordered), _CONTINUES)


class StandardEmoji:
    """Turns standard emoji into notation. The pattern is long and each object compiles it
    once, so the objects are pooled and go to whichever thread needs a pair next (servers that
    start a thread per request would otherwise compile it per request)."""

    def __init__(self, module=None, globalize_format=None):
        self._module = module
        self._format = globalize_format
        self._pool = []
        self._lock = threading.Lock()
        self._pattern = None

    def _take(self):
        with self._lock:
            if self._pool:
                return self._pool.pop()
        find = Glyphary(STANDARD_INPUT_MODE, self._module)
        if self._pattern is None:
            ids = find.map_ids(STANDARD_INPUT_MODE)
            self._pattern = standard_emoji_pattern(ids) if ids else ""
        find.localize_pattern = self._pattern
        write = Glyphary("none", self._module)
        write.localize_pattern = r"\x{FDD0}([a-z0-9_+\-]+)\x{FDD1}"
        write.localize_undefined_format = self._format or find.globalize_format
        return find, write

    def globalize(self, text: str) -> str:
        """`text` with every standard emoji of the table as neutral notation."""
        if text.isascii():
            return text
        pair = self._take()
        try:
            if not self._pattern:
                return text
            find, write = pair
            # The intermediate notation is ours, so the text's own noncharacters must not meet
            # it: the runs between them are converted apart (no emoji sequence holds one, so
            # a cut there changes no match) and the noncharacters kept as they were.
            pieces = _NONCHARACTERS.split(text)
            pieces[::2] = (write.localize(find.localize(p)) if p else p for p in pieces[::2])
            return "".join(pieces)
        finally:
            with self._lock:
                self._pool.append(pair)
