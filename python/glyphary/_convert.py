"""Text written for one table shown with another's emoji, or as neutral notation."""

from ._glyphary import Glyphary, TableConverter
from ._standard import StandardEmoji

#: The map mode of standard emoji (unicode.map in the sample configuration).
UNICODE_MODE = 4


class CarrierConverter:
    """Converts text from one table's emoji to another's.

    source: a carrier (imode, ezweb, softbank, or its map mode number) or unicode for
    standard emoji (sequences included: keycaps, flags, skin tones and ZWJ sequences the
    table has). target: a carrier, unicode, or "notation" for neutral notation (:sunny:, as
    GlobalizeFormat writes it). An emoji becomes the target's own (its text where the target
    shows it as text; notation where the target has no equivalent); notation already in the
    text passes unchanged. module: the glyphary.so to use, as for Glyphary.

    Thread-safe: calls on one converter run one at a time, with the GIL released.
    """

    def __init__(self, source: "str | int", target: "str | int", module=None):
        self.source, self.target = source, target
        if target != "notation":
            self._convert = TableConverter(source, target, module).convert
        elif Glyphary(source, module).mode == UNICODE_MODE:
            # Standard emoji to notation goes through the module twice, as _standard.py does,
            # until the client library converts them itself (the migration work).
            self._convert = StandardEmoji(module).globalize
        else:
            self._convert = Glyphary(source, module).globalize

    def convert(self, text: str) -> str:
        """The text with the source's emoji as the target's."""
        return self._convert(text)

    def __repr__(self):
        return "<glyphary.CarrierConverter %s -> %s>" % (self.source, self.target)
