"""glyphary-migrate: carrier emoji stored in database columns rewritten as standard emoji or
neutral notation, in place, through SQLAlchemy Core (SQLite, PostgreSQL, MariaDB/MySQL).

    glyphary-migrate sqlite:///site.db --table posts --column body --from auto            # dry run
    glyphary-migrate postgresql://u@host/site --table posts --from imode --to unicode --apply

A dry run (--check, the default) counts per column the rows that would change and the emoji by
kind, with a few samples. --apply walks each table in primary key order, a batch at a time:
the rows are read, converted outside any transaction, then written in one transaction per batch
with compare-and-set (a row whose value is no longer byte for byte the one read is left alone and
reported), together with the key reached, so a run stopped at any point resumes where it was and
a finished one, run again, changes nothing. A value that would not fit its column (length, a
character set that cannot hold it) is reported and left, never cut.

Exit status: 0 nothing left (with --check: nothing to change), 1 rows left or to change,
2 a usage error or a table that cannot be migrated.
"""

import argparse
import bisect
import collections
import functools
import hashlib
import itertools
import json
import re
import sys
import time

import sqlalchemy as sa

import glyphary
from glyphary import _glyphary

# The intermediate notation between the two passes, as the glyphary program's convert uses:
# noncharacters that no stored text holds, so text that merely looks like notation stays.
OPEN, CLOSE = "\ufdd0", "\ufdd1"
NO_EMOJI_OPEN, NO_EMOJI_CLOSE = "\ufdd2", "\ufdd3"
MARKED = re.compile(OPEN + "([^" + CLOSE + "]*)" + CLOSE)
NO_EMOJI = re.compile(NO_EMOJI_OPEN + "([^" + NO_EMOJI_CLOSE + "]*)" + NO_EMOJI_CLOSE)
PROGRESS_TABLE = "glyphary_migrate"
WRITE_EVERY = 0.5  # seconds: changed rows wait at most this long for their transaction
SAVE_EVERY = 5.0  # seconds: the key reached is saved at least this often
RAW = sa.types.NullType()  # a value passed to the driver as it is
# What the converter reads across characters (references, tags, escape sequences) and the
# markers between its passes. A text without them, from a given carrier, converts a character
# at a time: values joined by newlines, which no code holds, come out each as alone (but for a
# byte order mark at a value's start, kept out too). Joining spares a stream per value.
SPANS = re.compile("[&<\x1b\ufdd0-\ufdef]")

# Bytes in which an emoji can start, per stored form: a value that holds none of them is never
# given to the converter, which keeps a table of mostly plain text fast. Shift_JIS: the
# carriers' emoji rows (lead bytes F0..FC), references, tags, web codes; UTF-16LE: private use
# and planes 15-16.
SJIS_CANDIDATE = re.compile(b"[\xf0-\xfc&<\x1b]")
UTF16_CANDIDATE = re.compile(b"[\xe0-\xf8\xdb\xdc&<\x1b]")
DEFAULT_FORMS = {"references", "localsrc", "webcodes", "google"}
ALL_FORMS = DEFAULT_FORMS | {"sjis-references", "cp932"}

# MariaDB/MySQL character sets and the Python codecs that say what they can hold.
CHARSETS = {
    "utf8mb4": "utf-8", "utf8mb3": "bmp", "utf8": "bmp", "ucs2": "bmp", "utf16": "utf-16",
    "utf16le": "utf-16", "utf32": "utf-32", "cp932": "cp932", "sjis": "shift_jis",
    "eucjpms": "euc_jp", "ujis": "euc_jp", "latin1": "cp1252", "ascii": "ascii",
    "binary": None,
}  # fmt: skip


class Unfit(Exception):
    """A value that cannot be converted or stored: the reason, reported per row."""


def form_names(forms):
    """The set of form names a --forms value reads, as the converter parses it (an unknown
    name: all of them, so the filter never skips what the converter would read)."""
    names = set()
    for name in (forms or "").split(","):
        name = name.strip().lower()
        if name == "default":
            names |= DEFAULT_FORMS
        elif name in ALL_FORMS:
            names.add(name)
        elif name and name != "none":
            return set(ALL_FORMS)
    return names


class Prefilter:
    """Which values of a batch may hold something to convert, exactly (no value that would
    change is ever passed over): needles searched with memchr-speed finds over the batch's
    bytes joined, a hit confirmed in its own value by a regular expression where the needle
    alone is too common; or an expression tried on every value."""

    def __init__(self, needles=(), every=None):
        self.needles = list(needles)  # (bytes, confirming regex or None)
        self.every = every

    @classmethod
    def utf8(cls, options, carriers):
        """UTF-8 text (or a UTF-8 binary column) read in the given forms."""
        # Private use U+E000..U+F8FF: EE, or EF followed by 80..A3 (EF alone also starts the
        # fullwidth forms common in Japanese text).
        needles = {b"\xee": None, b"\xef": re.compile(b"\xef[\x80-\xa3]")}
        for carrier in carriers:
            # A table's codes outside private use (a module's), which the globalizer reads
            # back; substitutes for emoji a carrier lacks ("[100点]") it leaves as text.
            g = glyphary.Glyphary(carrier, module=options.module)
            g.globalize_format = OPEN + "%1%" + CLOSE
            for name in g.map_ids(carrier):
                code = g.localize(":%s:" % name)
                if code and not any(0xE000 <= ord(c) <= 0xF8FF for c in code) and \
                        g.globalize(code) != code:  # fmt: skip
                    needles.setdefault(code[0].encode("utf-8", "surrogatepass")[:1], None)
        forms = form_names(options.forms)
        if forms & {"references", "sjis-references"}:
            needles[b"&#"] = None
        if "localsrc" in forms:
            needles[b"<"] = re.compile(b"<[iI][mM][gG]")
        if "webcodes" in forms:
            needles[b"\x1b$"] = None
        if "google" in forms:
            needles[b"\xf3"] = None  # U+C0000..U+FFFFF, Google's codes among them
        every = None
        if "cp932" in forms:
            # The kanji a CP932 decoder makes of the IBM rows FA..FC (SoftBank's FB41-FBDE).
            kanji = set()
            for lead in (0xFA, 0xFB, 0xFC):
                for trail in range(0x40, 0xFD):
                    try:
                        kanji.add(bytes([lead, trail]).decode("cp932"))
                    except UnicodeDecodeError:
                        pass
            every = re.compile("|".join(sorted(re.escape(k) for k in kanji)).encode("utf-8"))
        return cls(needles.items(), every)

    def candidates(self, datas):
        """Indices of the values (bytes, or None) that may hold something to convert."""
        found = set()
        datas = [b"" if d is None else d for d in datas]
        if self.needles:
            ends = list(itertools.accumulate(map(len, datas)))
            joined = b"".join(datas)
            for needle, confirm in self.needles:
                at = joined.find(needle)
                while at >= 0:
                    i = bisect.bisect_right(ends, at)
                    if i not in found and (confirm is None or confirm.search(datas[i])):
                        found.add(i)
                    at = joined.find(needle, ends[i])  # the rest of value i is settled
        if self.every is not None:
            found.update(i for i, d in enumerate(datas) if i not in found and self.every.search(d))
        return sorted(found)


# --- One value ------------------------------------------------------------------------------


class ValueConverter:
    """Converts one stored value; None when nothing in it changes."""

    def __init__(self, options, binary_encoding=None, gives_text=False):
        self.options = options
        self.binary = binary_encoding
        self.gives_text = gives_text  # bytes in, str out: a Shift_JIS text column
        source = options.carrier
        self.from_notation = source == "notation"
        self.carrier = source
        base = glyphary.Glyphary("none" if source in ("auto", "notation") else source,
                                 module=options.module)  # fmt: skip
        self.notation_format = base.globalize_format
        base.globalize_format = OPEN + "%1%" + CLOSE
        self.globalizer = base
        if options.to == "unicode":
            self.unicode = glyphary.Glyphary("unicode", module=options.module)
            if not self.from_notation:
                self.unicode.localize_pattern = MARKED.pattern
            self.unicode.localize_undefined_format = NO_EMOJI_OPEN + "%1%" + NO_EMOJI_CLOSE
            self.found = re.compile(self.unicode.localize_pattern)
        # One stream per value: a value's codes decide only each other.
        self.stream = functools.partial(
            glyphary.Converter, self.globalizer, "globalize", self.binary or "utf-8", "utf-8",
            carrier=self.carrier, errors=options.errors, forms=options.forms,
            prefer=options.prefer, record=options.record,
        )  # fmt: skip
        carriers = ("imode", "ezweb", "softbank") if source == "auto" else (source,)
        if self.from_notation:  # ':' is that byte in all three encodings
            self.prefilter = Prefilter([(b":", None)])
        elif self.binary in (None, "utf-8"):
            self.prefilter = Prefilter.utf8(options, carriers)
        else:
            self.prefilter = Prefilter(
                every=SJIS_CANDIDATE if self.binary == "sjis" else UTF16_CANDIDATE)

    def notation_of(self, match):
        return self.notation_format.replace("%1%", match.group(1))

    def convert(self, value):
        """(new value, {kind: count}) or None; raises Unfit. Values the prefilter passes
        over need not come here: nothing in them changes."""
        if value is None:
            return None
        kinds = {}
        if self.from_notation:
            text = value if self.binary is None else self.decode_plain(value)
            marked = text
        else:
            data = value.encode("utf-8") if self.binary is None else bytes(value)
            stream = self.stream()
            try:
                marked = (stream.convert(data) + stream.finish()).decode("utf-8")
            except glyphary.EncodingError as e:
                raise Unfit("does not decode (%s)" % e.description) from None
            if stream.guesses:
                kinds["guessed"] = stream.guesses
        return self.finish_value(value, marked, kinds)

    def finish_value(self, value, marked, kinds):
        """convert()'s second pass: the ids marked in the first written out."""
        if self.options.to == "unicode":
            found = len(self.found.findall(marked))
            text = self.unicode.localize(marked)
            # Ids without a standard emoji come back marked and are written as notation.
            no_emoji = 0
            if NO_EMOJI_OPEN in text:
                no_emoji = len(NO_EMOJI.findall(text))
                text = NO_EMOJI.sub(self.notation_of, text)
            if found > no_emoji:
                kinds["emoji"] = found - no_emoji
            if no_emoji:
                kinds["notation"] = no_emoji
        else:
            marks = len(MARKED.findall(marked))
            if marks:
                kinds["notation"] = marks
                text = MARKED.sub(self.notation_of, marked)
            else:
                text = marked
        if self.binary is None:
            return (text, kinds) if text != value else None
        if self.gives_text:
            return (text, kinds) if kinds else None
        new = self.encode_plain(text)
        return (new, kinds) if new != bytes(value) else None

    def convert_many(self, values):
        """convert() of each value: its result, None, or the Unfit it raised (an Unfit given
        for a value is passed on). The values read one character at a time go through one
        stream, joined by newlines."""
        out = [None] * len(values)
        together = []
        if self.carrier not in ("auto", "notation") and self.binary is None:
            together = [i for i, v in enumerate(values) if isinstance(v, str)
                        and not SPANS.search(v) and v[:1] != "\ufeff"]  # fmt: skip
        # A group that fails (a value the converter refuses) is tried again in halves; small
        # ones go a value at a time.
        done, groups = set(), [together]
        while groups:
            group = groups.pop()
            if len(group) < 8:
                continue
            if self.convert_together(values, group, out):
                done.update(group)
            else:
                groups += [group[: len(group) // 2], group[len(group) // 2 :]]
        for i in (i for i in range(len(values)) if i not in done):
            try:
                out[i] = values[i] if isinstance(values[i], Unfit) else self.convert(values[i])
            except Unfit as e:
                out[i] = e
        return out

    def convert_together(self, values, together, out):
        """The values given converted as one text; False, nothing done, if the newlines do
        not come back as they went in."""
        joined = "\n".join(values[i] for i in together)
        stream = self.stream()
        try:
            marked = (stream.convert(joined.encode("utf-8")) + stream.finish()).decode("utf-8")
        except (glyphary.EncodingError, UnicodeError):
            return False
        parts = marked.split("\n")
        if len(parts) != joined.count("\n") + 1 or stream.guesses:
            return False
        at = 0
        for i in together:
            lines = values[i].count("\n") + 1
            try:
                out[i] = self.finish_value(values[i], "\n".join(parts[at : at + lines]), {})
            except Unfit as e:
                out[i] = e
            at += lines
        return True

    def decode_plain(self, value):
        try:
            return glyphary.decode(bytes(value), self.binary, "none", errors=self.options.errors)
        except glyphary.EncodingError as e:
            raise Unfit("does not decode (%s)" % e.description) from None

    def encode_plain(self, text):
        try:
            return glyphary.encode(text, self.binary, "none")
        except glyphary.EncodingError:
            raise Unfit("cannot be written in %s" % self.binary) from None


def fits(column, value):
    """Raises Unfit when the database could not store value in the column as it is."""
    if column.codec and column.codec != "utf-8":
        if column.codec == "bmp":
            if any(ord(c) > 0xFFFF for c in value):
                raise Unfit("%s cannot hold characters beyond U+FFFF" % column.charset)
        else:
            try:
                value.encode(column.codec)
            except UnicodeEncodeError as e:
                raise Unfit("%s cannot hold %r" % (column.charset, value[e.start : e.end])) from None
    if column.length is not None and len(value) > column.length:
        raise Unfit("%d %s, the column holds %d" % (
            len(value), "bytes" if column.binary else "characters", column.length))  # fmt: skip


# --- Tables ---------------------------------------------------------------------------------


class Column:
    def __init__(self, table, column, charset, options, utf8_bytes=False):
        self.name = column.name
        self.column = column
        self.binary = isinstance(column.type, sa.types._Binary)
        self.length = getattr(column.type, "length", None)
        self.charset = charset
        self.codec = CHARSETS.get(charset, "utf-8") if charset else None
        # A Shift_JIS text column is read as the bytes it holds: decoded, the carriers' codes
        # past F9 are kanji that do not encode back to the same bytes.
        self.sjis_text = not self.binary and self.codec in ("cp932", "shift_jis")
        # SQLite text read as its UTF-8 bytes (CAST AS BLOB): nothing decoded but the few
        # values the prefilter lets through, and the bytes are what compare-and-set compares.
        self.utf8_bytes = utf8_bytes and not self.binary
        # Where a row holds the value converted, the value compared and the value shown.
        self.value_at = self.old_at = self.shown_at = None
        self.reads_bytes = self.binary or self.utf8_bytes or self.sjis_text
        if self.binary or self.sjis_text:
            encoding = options.binary_encoding if self.binary else "sjis"
            self.converter = ValueConverter(options, encoding, gives_text=self.sjis_text)
        else:
            self.converter = ValueConverter(options)
        self.rows = 0
        self.kinds = collections.Counter()
        self.samples = []


def charsets(engine, table):
    """MariaDB/MySQL: column -> character set; elsewhere the database holds any text."""
    if engine.dialect.name != "mysql":
        return {}
    query = sa.text(
        "SELECT COLUMN_NAME, CHARACTER_SET_NAME FROM information_schema.COLUMNS "
        "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = :t"
    )
    with engine.connect() as connection:
        return {name: charset for name, charset in connection.execute(query, {"t": table})}


def plan_table(engine, name, wanted, options):
    """The table and its columns to convert; raises SystemExit(2) for what cannot be done."""
    try:
        table = sa.Table(name, sa.MetaData(), autoload_with=engine)
    except sa.exc.NoSuchTableError:
        raise Refused("no table %s" % name) from None
    key = list(table.primary_key.columns)
    if not key:
        raise Refused(
            "table %s has no primary key: rows are taken in key order and written back by key"
            % name
        )
    sets = charsets(engine, name)
    utf8_bytes = False
    if engine.dialect.name == "sqlite":
        with engine.connect() as c:
            utf8_bytes = c.exec_driver_sql("PRAGMA encoding").scalar() == "UTF-8"
    keys = {c.name for c in key}
    columns = []
    for c in table.columns:
        kind_ok = isinstance(c.type, (sa.String, sa.types._Binary))
        if wanted:
            if c.name not in wanted:
                continue
            if not kind_ok or c.name in keys:
                raise Refused("column %s.%s is no text or binary column outside the key"
                              % (name, c.name))  # fmt: skip
        elif not kind_ok or c.name in keys:
            continue
        columns.append(Column(table, c, sets.get(c.name), options, utf8_bytes))
    missing = set(wanted or ()) - {c.name for c in table.columns}
    if missing:
        raise Refused("table %s has no column %s" % (name, ", ".join(sorted(missing))))
    return table, key, columns


class Refused(Exception):
    pass


def raw(engine, column):
    """The column as what compares byte for byte, whatever its collation: MariaDB's _ci
    collations and PAD SPACE comparisons call different values equal, so there the bytes;
    SQLite's BINARY collation and PostgreSQL's deterministic ones compare bytes already."""
    if column.binary:
        return column.column
    if column.utf8_bytes:
        return sa.cast(column.column, sa.LargeBinary)
    if engine.dialect.name == "mysql":
        return sa.cast(column.column, sa.dialects.mysql.BINARY())
    if engine.dialect.name == "sqlite":
        return column.column.collate("BINARY")
    return column.column


class Progress:
    """rows/s and ETA on a terminal, rewritten in place."""

    def __init__(self, stream, total, label):
        self.stream, self.total, self.label = stream, total, label
        self.start = self.last = time.monotonic()
        self.done = 0
        self.on = stream.isatty()

    def advance(self, rows):
        self.done += rows
        now = time.monotonic()
        if not self.on or (now - self.last < 0.2 and self.done < self.total):
            return
        self.last = now
        rate = self.done / max(now - self.start, 1e-6)
        eta = (self.total - self.done) / rate if rate else 0
        width = 30
        filled = int(width * min(self.done / self.total, 1)) if self.total else width
        self.stream.write("\r%s [%s%s] %d/%d rows  %.0f rows/s  ETA %ds " % (
            self.label, "#" * filled, "." * (width - filled), self.done, self.total, rate, eta))  # fmt: skip
        self.stream.flush()

    def end(self):
        if self.on:
            self.stream.write("\n")


class Migration:
    """One table's run."""

    # Called with the keys of a batch's changed rows after it is read, before it is written:
    # where the live site's own writes land (tests put theirs there).
    between = None

    def __init__(self, engine, table_name, wanted, options, out=sys.stdout, err=sys.stderr):
        self.engine, self.options, self.out, self.err = engine, options, out, err
        self.table, self.key, self.columns = plan_table(engine, table_name, wanted, options)
        self.job = hashlib.sha1(json.dumps(
            [table_name, [c.name for c in self.columns], options.carrier, options.to,
             options.forms, options.prefer, options.record, options.errors,
             options.binary_encoding]).encode()).hexdigest()[:16]  # fmt: skip
        self.left = []  # (key, column, reason)
        self.written = 0

    # The key reached, kept in a table of our own and written in each batch's transaction.
    def progress_table(self):
        meta = sa.MetaData()
        t = sa.Table(PROGRESS_TABLE, meta, sa.Column("job", sa.String(40), primary_key=True),
                     sa.Column("tbl", sa.String(200)), sa.Column("last_key", sa.Text))  # fmt: skip
        meta.create_all(self.engine)
        return t

    def run(self):
        apply = self.options.apply
        progress_t = self.progress_table() if apply else None
        last = None
        if apply and not self.options.restart:
            with self.engine.connect() as c:
                saved = c.execute(sa.select(progress_t.c.last_key)
                                  .where(progress_t.c.job == self.job)).scalar()  # fmt: skip
            last = json.loads(saved) if saved else None
        if last is not None:
            self.err.write("%s: resuming after key %s\n" % (self.table.name, last))
        total = None
        if self.err.isatty():
            with self.engine.connect() as c:
                total = c.execute(sa.select(sa.func.count()).select_from(self.table)).scalar()
        bar = Progress(self.err, total, self.table.name)
        reads = list(self.key)
        for col in self.columns:
            col.value_at = col.old_at = col.shown_at = len(reads)
            reads.append(raw(self.engine, col) if col.utf8_bytes else col.column)
            if self.engine.dialect.name == "mysql" and not col.binary:
                # MariaDB: the bytes too, for the comparison and for Shift_JIS text columns.
                col.old_at = len(reads)
                if col.sjis_text:
                    col.value_at = col.old_at
                reads.append(raw(self.engine, col))
        order = sa.tuple_(*self.key) if len(self.key) > 1 else self.key[0]
        size = self.options.batch_size
        # Changed rows wait for a transaction until there are a batch of them or half a second
        # has passed: a commit costs a sync of the file, which dominates when rows change
        # rarely. A run with nothing to write still saves where it is now and then.
        pending, committed = [], time.monotonic()
        while True:
            query = sa.select(*reads).order_by(*self.key).limit(size)
            if last is not None:
                bound = [sa.literal(v, RAW) for v in last]
                query = query.where(order > (sa.tuple_(*bound) if len(bound) > 1 else bound[0]))
            rows = self.fetch(query)
            if not rows:
                break
            pending += self.convert_batch(rows)
            last = [_jsonable(v) for v in rows[-1][: len(self.key)]]
            bar.advance(len(rows))
            if len(rows) < size:
                break
            now = time.monotonic()
            if not apply:
                pending = []
            elif (self.options.pause or len(pending) >= size or now - committed >= SAVE_EVERY
                  or pending and now - committed >= WRITE_EVERY):  # fmt: skip
                self.write(pending, progress_t, last)
                pending, committed = [], now
            if self.options.pause:
                time.sleep(self.options.pause)
        bar.end()
        if apply:  # the rest, and the progress dropped: the next run starts from the start
            self.write(pending, progress_t, None)
        return self

    def fetch(self, query):
        """The rows as the driver gives them: the statement is SQLAlchemy's, but building its
        result rows would cost more than the rest of a row's work. Keys go back to the
        database as they came (RAW), so no type's processing is needed either way."""
        compiled = query.compile(dialect=self.engine.dialect)
        params = compiled.construct_params()
        if compiled.positional:
            params = tuple(params[name] for name in compiled.positiontup)
        with self.engine.connect() as c:
            cursor = c.connection.cursor()
            try:
                cursor.execute(str(compiled), params)
                return cursor.fetchall()
            finally:
                cursor.close()

    def convert_batch(self, rows):
        n = len(self.key)
        changes = collections.defaultdict(dict)  # row index -> {column index: (old, new)}
        for i, col in enumerate(self.columns):
            at = col.value_at
            if not col.reads_bytes:
                datas = [None if r[at] is None else r[at].encode("utf-8", "surrogatepass")
                         for r in rows]  # fmt: skip
            else:
                datas = [r[at] for r in rows]
            found = col.converter.prefilter.candidates(datas)
            values = [rows[j][at] for j in found]
            if col.utf8_bytes:
                values = [_utf8(v) for v in values]
            for j, value, result in zip(found, values, col.converter.convert_many(values)):
                row = rows[j]
                keys = tuple(row[:n])
                try:
                    if isinstance(result, Unfit):
                        raise result
                    if result is None:
                        continue
                    new, kinds = result
                    if isinstance(new, str):
                        fits(col, new)
                    elif col.length is not None and len(new) > col.length:
                        raise Unfit("%d bytes, the column holds %d" % (len(new), col.length))
                except Unfit as e:
                    self.left.append((keys, col.name, str(e)))
                    continue
                col.rows += 1
                col.kinds.update(kinds)
                if len(col.samples) < self.options.samples:
                    col.samples.append((keys, value if col.utf8_bytes else row[col.shown_at], new))
                old = row[col.old_at]
                changes[j][i] = (bytes(old) if isinstance(old, memoryview) else old, new)
        return [{"keys": tuple(rows[j][:n]), "change": changes[j]} for j in sorted(changes)]

    def write(self, updates, progress_t, last):
        """One transaction: the updates, and the key reached (None: the run is done)."""
        if self.between and updates:
            self.between([u["keys"] for u in updates])
        # One statement per set of columns changed; each compares the bytes read (compare-and-
        # set), so a value the live site wrote meanwhile stays and is reported.
        groups = collections.defaultdict(list)
        for u in updates:
            groups[tuple(sorted(u["change"]))].append(u)
        with self.engine.begin() as c:
            for which, group in groups.items():
                where = [k == sa.bindparam("k_%d" % j, type_=RAW) for j, k in enumerate(self.key)]
                where += [raw(self.engine, self.columns[i]) == self.old(i) for i in which]
                values = {self.columns[i].name: sa.bindparam("new_%d" % i) for i in which}
                statement = self.table.update().where(*where).values(values)
                params = []
                for u in group:
                    p = {"k_%d" % j: v for j, v in enumerate(u["keys"])}
                    for i in which:
                        p["old_%d" % i], p["new_%d" % i] = u["change"][i]
                    params.append(p)
                count = self.execute_many(c, statement, params)
                if count != len(params):
                    self.find_conflicts(c, which, group)
                else:
                    self.written += count
            this_job = progress_t.c.job == self.job
            if last is None:
                c.execute(progress_t.delete().where(this_job))
                return
            saved = {"last_key": json.dumps(last)}
            if c.execute(progress_t.update().where(this_job), saved).rowcount == 0:
                c.execute(progress_t.insert(), dict(saved, job=self.job, tbl=self.table.name))

    def execute_many(self, c, statement, params):
        """The rows' updates through the driver's executemany, inside c's transaction: as for
        reads, SQLAlchemy's statement without its per-row parameter processing (every value
        here is already what the driver takes: str, bytes or the key as read)."""
        compiled = statement.compile(dialect=self.engine.dialect)
        if compiled.positional:
            params = [tuple(p[name] for name in compiled.positiontup) for p in params]
        cursor = c.connection.cursor()
        try:
            cursor.executemany(str(compiled), params)
            return cursor.rowcount
        finally:
            cursor.close()

    def old(self, i):
        col = self.columns[i]
        if col.binary or col.utf8_bytes or self.engine.dialect.name == "mysql":
            return sa.bindparam("old_%d" % i, type_=sa.LargeBinary)
        return sa.bindparam("old_%d" % i, type_=col.column.type)

    def find_conflicts(self, c, which, group):
        """After a short count: the rows that do not now hold what was written were changed by
        someone else between the read and the write (a driver's total may also be unknown)."""
        for u in group:
            cond = [k == v for k, v in zip(self.key, u["keys"])]
            now = c.execute(sa.select(*[self.columns[i].column for i in which]).where(*cond)).first()
            expected = tuple(u["change"][i][1] for i in which)
            if now is not None and tuple(bytes(v) if isinstance(v, memoryview) else v
                                         for v in now) == expected:  # fmt: skip
                self.written += 1
            else:
                for i in which:
                    self.columns[i].rows -= 1
                self.left.append((u["keys"], ",".join(self.columns[i].name for i in which),
                                  "changed by someone else meanwhile: left as it is"))  # fmt: skip

    def report(self):
        mode = "apply" if self.options.apply else "check"
        for col in self.columns:
            kinds = ", ".join("%d %s" % (n, k) for k, n in sorted(col.kinds.items())) or "none"
            verb = "changed" if mode == "apply" else "would change"
            self.out.write("%s.%s: %d rows %s; emoji: %s\n" % (self.table.name, col.name, col.rows,
                                                                verb, kinds))  # fmt: skip
            for keys, before, after in col.samples:
                self.out.write("  %s  %s\n  %s  %s\n" % (
                    _key_text(keys), _show(before), " " * len(_key_text(keys)), _show(after)))  # fmt: skip
        for keys, column, reason in self.left:
            self.out.write("%s.%s %s left: %s\n" % (self.table.name, column, _key_text(keys), reason))


def _utf8(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return Unfit("is no UTF-8 text")


def _jsonable(v):
    return v if isinstance(v, (int, str, float)) or v is None else str(v)


def _key_text(keys):
    return "[%s]" % ", ".join(str(k) for k in keys)


def _show(value):
    if isinstance(value, (bytes, memoryview)):
        return bytes(value)[:120].hex(" ")
    text = "".join(c if c.isprintable() and not 0xE000 <= ord(c) <= 0xF8FF else "U+%04X" % ord(c)
                   for c in value[:120])  # fmt: skip
    return text + ("…" if len(value) > 120 else "")


# --- The program ----------------------------------------------------------------------------


def parser():
    p = argparse.ArgumentParser(
        prog="glyphary-migrate",
        description="Rewrites carrier emoji stored in database columns as standard emoji or "
        "neutral notation, in place. Dry run unless --apply.",
    )
    p.add_argument("url", help="SQLAlchemy database URL (sqlite:///site.db, "
                   "postgresql://user@host/db, mysql+pymysql://user@host/db)")  # fmt: skip
    p.add_argument("-T", "--table", action="append", required=True, help="a table (repeatable)")
    p.add_argument("-C", "--column", action="append", help="a column (repeatable); default: "
                   "every text and binary column outside the primary key")  # fmt: skip
    p.add_argument("-f", "--from", dest="carrier", default="auto",
                   help="imode, ezweb, softbank, auto (default: found per record) or notation")
    p.add_argument("-t", "--to", choices=["unicode", "notation"], default="unicode")
    p.add_argument("--forms", help="legacy forms to read, comma-separated: references, localsrc, "
                   "webcodes, google, sjis-references, cp932; default for the four first")  # fmt: skip
    p.add_argument("--prefer", help="--from auto: carriers to prefer for an undecided code")
    p.add_argument("--record", choices=["line", "paragraph", "whole"], default="whole",
                   help="--from auto: the span whose codes decide each other (default whole)")
    p.add_argument("--errors", default="strict",
                   choices=["strict", "replace", "surrogateescape", "xmlcharrefreplace"])
    p.add_argument("-e", "--encoding", dest="binary_encoding", default="sjis",
                   help="of binary columns: sjis (default), utf-8 or utf-16le")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--check", action="store_true", help="count what would change (default)")
    mode.add_argument("--apply", action="store_true", help="write the changes")
    p.add_argument("--batch-size", type=int, default=5000, help="rows per transaction")
    p.add_argument("--pause", type=float, default=0.0, help="seconds between batches")
    p.add_argument("--restart", action="store_true", help="ignore a stopped run's progress")
    p.add_argument("--samples", type=int, default=3, help="before/after samples per column")
    p.add_argument("--module", help="another Glyphary module and its configuration")
    return p


def open_engine(options):
    url = sa.engine.make_url(options.url)
    if url.get_backend_name() != "sqlite":
        return sa.create_engine(url, future=True)
    # SQLite: one connection kept for the run; SQLAlchemy would open one per batch otherwise,
    # each reading the schema again and starting with a cold page cache.
    engine = sa.create_engine(url, future=True, poolclass=sa.pool.SingletonThreadPool)

    # A transaction's changed pages stay in memory until its commit (at most a page per row
    # of two batches) instead of spilling to the file while it runs, each spill syncing the
    # journal first.
    @sa.event.listens_for(engine, "connect")
    def _(dbapi_connection, record):
        dbapi_connection.execute("PRAGMA cache_spill = OFF")

    return engine


def main(argv=None, out=sys.stdout, err=sys.stderr):
    options = parser().parse_args(argv)
    if options.column and len(options.table) > 1:
        err.write("glyphary-migrate: --column goes with one --table\n")
        return 2
    if options.carrier != "auto" and options.carrier != "notation" and options.prefer:
        err.write("glyphary-migrate: --prefer goes with --from auto\n")
        return 2
    if options.batch_size < 1:
        err.write("glyphary-migrate: --batch-size must be positive\n")
        return 2
    if options.carrier == "notation" and options.to == "notation":
        err.write("glyphary-migrate: from notation to notation changes nothing\n")
        return 2
    if options.forms is None and options.carrier != "notation":
        options.forms = "default"
    if _glyphary.encoding_name(options.binary_encoding) is None:
        err.write("glyphary-migrate: unknown encoding %s\n" % options.binary_encoding)
        return 2
    options.binary_encoding = _glyphary.encoding_name(options.binary_encoding)
    engine = open_engine(options)
    left = changes = 0
    try:
        migrations = [Migration(engine, t, options.column, options, out, err) for t in options.table]
        for m in migrations:
            m.run().report()
            left += len(m.left)
            changes += sum(c.rows for c in m.columns)
    except Refused as e:
        err.write("glyphary-migrate: %s\n" % e)
        return 2
    except (ValueError, glyphary.Error) as e:
        err.write("glyphary-migrate: %s\n" % e)
        return 2
    finally:
        engine.dispose()
    verb = "changed" if options.apply else "would change"
    out.write("%d values %s, %d left\n" % (changes, verb, left))
    if options.apply:
        return 1 if left else 0
    return 1 if left or changes else 0


if __name__ == "__main__":
    sys.exit(main())
