"""glyphary-migrate against real databases: SQLite files always; with GLYPHARY_DB_SERVERS=1
(the db-servers tests) a throwaway PostgreSQL 15 cluster and MariaDB server started here.

Each table is seeded with generated rows of all three carriers in each stored form; what each
row must become comes from the map files, never from the converter."""

import io
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest
import sqlalchemy as sa
from sqlalchemy.dialects import mysql

from conftest import CARRIERS, codes, own_emoji

from glyphary import migrate

SERVERS = os.environ.get("GLYPHARY_DB_SERVERS") == "1"
ROWS = 240


# --- Servers ----------------------------------------------------------------------------------


def unavailable(reason):
    # In CI a server that does not start is a failure, never a quiet skip.
    if os.environ.get("CI") == "true":
        pytest.fail(reason)
    pytest.skip(reason)


def as_user(user):
    """Runs a server as an unprivileged user when we are root (initdb refuses root)."""
    return ["runuser", "-u", user, "--"] if os.geteuid() == 0 else []


def start(command, what, **kw):
    done = subprocess.run(command, capture_output=True, text=True, **kw)
    if done.returncode:
        unavailable("%s failed: %s" % (what, (done.stderr or done.stdout)[-2000:]))


@pytest.fixture(scope="module")
def postgresql():
    bin_dir = Path("/usr/lib/postgresql/15/bin")
    if not (bin_dir / "initdb").exists():
        unavailable("PostgreSQL 15 is not installed (scripts/install-deps installs it)")
    home = tempfile.mkdtemp(prefix="glyphary-pg-")
    user = "nobody"
    if os.geteuid() == 0:
        shutil.chown(home, user)
    data = os.path.join(home, "data")
    start(as_user(user) + [str(bin_dir / "initdb"), "-D", data, "-A", "trust", "-U", "postgres",
                           "-E", "UTF8", "--no-locale"], "initdb")  # fmt: skip
    start(as_user(user) + [str(bin_dir / "pg_ctl"), "-D", data, "-w", "-l", home + "/log", "-o",
                           "-k %s -c listen_addresses='' -c fsync=off" % home, "start"],
          "pg_ctl start")  # fmt: skip
    try:
        yield "postgresql+psycopg2://postgres@/postgres?host=" + home
    finally:
        subprocess.run(as_user(user) + [str(bin_dir / "pg_ctl"), "-D", data, "-m", "immediate",
                                        "stop"], capture_output=True)  # fmt: skip
        shutil.rmtree(home, ignore_errors=True)


@pytest.fixture(scope="module")
def mariadb():
    if not shutil.which("mariadbd", path="/usr/sbin:/usr/bin"):
        unavailable("MariaDB is not installed (scripts/install-deps installs it)")
    home = tempfile.mkdtemp(prefix="glyphary-mariadb-")
    user = "mysql" if os.geteuid() == 0 else None
    if user:
        shutil.chown(home, user)
    data, sock = os.path.join(home, "data"), os.path.join(home, "sock")
    owner = ["--user=" + user] if user else []
    start(["mariadb-install-db", "--no-defaults", "--datadir=" + data, "--skip-test-db",
           "--auth-root-authentication-method=normal"] + owner, "mariadb-install-db")  # fmt: skip
    server = subprocess.Popen(
        ["/usr/sbin/mariadbd", "--no-defaults", "--datadir=" + data, "--socket=" + sock,
         "--pid-file=" + home + "/pid", "--skip-networking", "--skip-grant-tables",
         "--innodb-buffer-pool-size=32M", "--innodb-flush-log-at-trx-commit=0",
         "--log-error=" + home + "/log"] + owner,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # fmt: skip
    url = "mysql+pymysql://root@/mysql?charset=utf8mb4&unix_socket=" + sock
    engine = sa.create_engine(url, future=True)
    try:
        for _ in range(300):
            try:
                with engine.begin() as c:
                    c.exec_driver_sql("CREATE DATABASE site")
                break
            except sa.exc.OperationalError:
                if server.poll() is not None:
                    unavailable("mariadbd exited: " + Path(home, "log").read_text()[-2000:])
                time.sleep(0.1)
        else:
            unavailable("mariadbd did not answer on " + sock)
        yield url.replace("/mysql?", "/site?")
    finally:
        engine.dispose()
        server.kill()
        server.wait()
        shutil.rmtree(home, ignore_errors=True)


@pytest.fixture(params=["postgresql", "mariadb"] if SERVERS else ["sqlite"])
def url(request, tmp_path):
    if request.param == "sqlite":
        return "sqlite:///%s" % (tmp_path / "site.db")
    return request.getfixturevalue(request.param)


# --- Rows and what they become ----------------------------------------------------------------


def unique_emoji(carrier):
    """id -> (code, sjis) of the carrier's emoji whose codes no other carrier has: a row of
    them tells its carrier alone."""
    others = [own_emoji(c) for c in CARRIERS if c != carrier]
    taken = {v for o in others for code, sjis in o.values() for v in (code, sjis)}
    return {i: e for i, e in own_emoji(carrier).items() if e[0] not in taken and e[1] not in taken}


def seed(url):
    """Creates and fills posts; returns (engine, the table, expected values per key)."""
    engine = sa.create_engine(url, future=True)
    on_mariadb = engine.dialect.name == "mysql"
    meta = sa.MetaData()
    columns = [
        sa.Column("id", sa.Integer, primary_key=True, autoincrement=False),
        # _ci and PAD SPACE: the collation calls the live site's changes equal to what was read.
        sa.Column("body", sa.Text().with_variant(
            mysql.TEXT(charset="utf8mb4", collation="utf8mb4_general_ci"), "mysql")),
        sa.Column("raw", sa.LargeBinary),
    ]  # fmt: skip
    if on_mariadb:
        columns.append(sa.Column("note", mysql.VARCHAR(200, charset="cp932")))
    table = sa.Table("posts", meta, *columns)
    meta.drop_all(engine)
    with engine.begin() as c:
        c.exec_driver_sql("DROP TABLE IF EXISTS " + migrate.PROGRESS_TABLE)
    meta.create_all(engine)
    unicode = codes("unicode.map")
    rng = random.Random(22)
    rows, expected = [], {}
    for key in range(1, ROWS + 1):
        carrier = list(CARRIERS)[key % 3]
        pool = sorted(unique_emoji(carrier).items())
        picked = rng.sample(pool, rng.choice([0, 0, 1, 3]))
        words = ["row %d" % key, "今日は", "a :sunny: notation", "tail"]
        body_in, body_out, raw_in, raw_out = list(words), list(words), [], []
        for emoji_id, (code, sjis) in picked:
            at = rng.randrange(len(body_in) + 1)
            as_reference = rng.random() < 0.3
            body_in.insert(at, "&#x%X;" % ord(code) if as_reference else code)
            body_out.insert(at, unicode.get(emoji_id, ":%s:" % emoji_id))
            raw_in.append(sjis)
            raw_out.append((":%s:" % emoji_id).encode())
        row = {"id": key, "body": " ".join(body_in), "raw": b"x ".join(raw_in + [b"\x8d\xa1"])}
        want = {"body": " ".join(body_out), "raw": b"x ".join(raw_out + [b"\x8d\xa1"])}
        if on_mariadb:
            row["note"] = row["raw"].decode("cp932")  # as a cp932 column hands it over
            want["note"] = want["raw"].decode("cp932")
        rows.append(row)
        expected[key] = (row, want, [i for i, _ in picked])
    with engine.begin() as c:
        c.execute(table.insert(), rows)
    return engine, table, expected


def contents(engine, table):
    with engine.connect() as c:
        return {r.id: r._asdict() for r in c.execute(sa.select(table).order_by(table.c.id))}


# The three runs that convert the table: each column in the form it holds.
RUNS = [
    ["--column", "body", "--to", "unicode"],
    ["--column", "raw", "--to", "notation"],
    ["--column", "note", "--to", "notation"],
]


def run(url, *args):
    out, err = io.StringIO(), io.StringIO()
    status = migrate.main([url, "--table", "posts", "--from", "auto", "--batch-size", "50",
                           *args], out, err)  # fmt: skip
    return status, out.getvalue() + err.getvalue()


def runs(engine):
    return RUNS if engine.dialect.name == "mysql" else RUNS[:2]


# --- Behaviour --------------------------------------------------------------------------------


def test_dry_run_counts_exactly_then_apply_converts_exactly_and_a_second_run_changes_nothing(url):
    engine, table, expected = seed(url)
    before = contents(engine, table)
    unicode = codes("unicode.map")
    changed = sum(1 for _, _, ids in expected.values() if ids)
    every = [i for _, _, ids in expected.values() for i in ids]
    with_emoji = sum(1 for i in every if i in unicode)
    # ids without a standard emoji are written as notation
    kinds = {"body": {"emoji": with_emoji, "notation": len(every) - with_emoji}}
    for args in runs(engine):
        column = args[1]
        status, out = run(url, *args)
        assert status == 1 and "%d values would change, 0 left" % changed in out, out
        counts = kinds.get(column, {"notation": len(every)})
        shown = ", ".join("%d %s" % (n, k) for k, n in sorted(counts.items()) if n)
        assert "posts.%s: %d rows would change; emoji: %s" % (column, changed, shown) in out, out
    assert contents(engine, table) == before

    # Standard emoji do not fit a Shift_JIS column: reported, nothing written.
    status, out = run(url, "--column", "raw", "--to", "unicode", "--apply")
    assert status == 1 and "0 values changed, %d left" % changed in out
    assert out.count("cannot be written in sjis") == changed
    assert contents(engine, table) == before

    for args in runs(engine):
        status, out = run(url, *args, "--apply")
        assert status == 0 and "%d values changed, 0 left" % changed in out, out
    after = contents(engine, table)
    assert after == {k: dict(row, **want) for k, (row, want, _) in expected.items()}
    for args in runs(engine):
        status, out = run(url, *args, "--apply")
        assert status == 0 and "0 values changed, 0 left" in out, out
    assert contents(engine, table) == after

    with engine.begin() as c:
        c.exec_driver_sql("CREATE TABLE keyless (body TEXT)")
    assert migrate.main([url, "--table", "keyless"], io.StringIO(), io.StringIO()) == 2


def test_rows_the_live_site_changes_meanwhile_are_reported_and_left(url, monkeypatch):
    engine, table, expected = seed(url)
    site = sa.create_engine(url, future=True)
    touched = {}

    def live_site(self, keys):
        # Changes a collation would call equal: letter case, a trailing space.
        with site.begin() as c:
            for (key,) in keys[::4]:
                old = c.execute(sa.select(table.c.body).where(table.c.id == key)).scalar()
                new = old.swapcase() if key % 2 else old + " "
                c.execute(table.update().where(table.c.id == key).values(body=new))
                touched[key] = new

    monkeypatch.setattr(migrate.Migration, "between", live_site)
    status, out = run(url, *RUNS[0], "--apply")
    site.dispose()
    assert status == 1 and touched
    assert out.count("changed by someone else meanwhile") == len(touched)
    for key, row in contents(engine, table).items():
        assert row["body"] == touched.get(key, expected[key][1]["body"])


def test_a_run_killed_midway_resumes_to_what_an_uninterrupted_run_gives(url):
    engine, table, expected = seed(url)
    args = [url, "--table", "posts", *RUNS[0], "--batch-size", "10", "--pause", "0.2", "--apply"]
    child = subprocess.Popen([sys.executable, "-m", "glyphary.migrate", *args],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)  # fmt: skip
    progress = sa.table(migrate.PROGRESS_TABLE, sa.column("last_key"))
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and child.poll() is None:
        try:
            with engine.connect() as c:
                if c.execute(sa.select(progress.c.last_key)).first():
                    break
        except sa.exc.DBAPIError:
            pass  # not created yet
        time.sleep(0.05)
    child.send_signal(signal.SIGKILL)
    output = child.communicate()[0].decode()
    assert child.returncode == -signal.SIGKILL, output
    middle = contents(engine, table)
    converted = sum(middle[k]["body"] == w["body"] != r["body"] for k, (r, w, _) in expected.items())
    assert 0 < converted < sum(1 for _, _, ids in expected.values() if ids)

    status, out = run(url, *RUNS[0], "--apply")
    assert status == 0 and "resuming after key" in out, out
    assert {k: r["body"] for k, r in contents(engine, table).items()} == {
        k: w["body"] for k, (_, w, _) in expected.items()}  # fmt: skip
    with engine.connect() as c:
        assert c.execute(sa.select(progress.c.last_key)).first() is None


@pytest.mark.skipif(SERVERS, reason="no database involved: run with the SQLite tests")
def test_the_prefilter_passes_over_no_value_the_converter_would_change_or_report():
    # Every carrier code, every Shift_JIS emoji row through CP932 and each legacy form, in
    # plain text; for each set of options, a value that converts or fails must be a candidate.
    sjis = [bytes([lead, trail]) for lead in range(0xF0, 0xFD)
            for trail in [*range(0x40, 0x7F), *range(0x80, 0xFD)]]  # fmt: skip
    items = [e[0] for c in CARRIERS for e in own_emoji(c).values()]
    items += [b.decode("cp932", "ignore") for b in sjis]
    items += ["&#xE63E;", "&#63647;", "&#xF89F;", '<IMG LocalSrc="44">', '<img localsrc=1>',
              "\x1b$Gj\x0f", "\U000FE000", "\U000FE82C", ":sunny:", "&#x41;", "<b>"]  # fmt: skip
    plain = "今日は（駅前）で！ see you ﾃｽﾄ"
    values = [plain[:5] + item + plain[5:] for item in items if item] + [plain, None]
    for carrier, forms, to in [
        ("auto", "default", "unicode"), ("auto", "cp932,sjis-references", "notation"),
        ("softbank", "cp932", "unicode"), ("imode", "default,cp932", "notation"),
        ("notation", "none", "unicode"),
    ]:  # fmt: skip
        options = migrate.parser().parse_args(
            ["sqlite://", "-T", "t", "--from", carrier, "--to", to, "--forms", forms])
        converter = migrate.ValueConverter(options)
        kept = set(converter.prefilter.candidates([v and v.encode("utf-8") for v in values]))
        for i, value in enumerate(values):
            try:
                changes = converter.convert(value) is not None
            except migrate.Unfit:
                changes = True
            assert not changes or i in kept, (carrier, forms, to, value)
        assert values.index(plain) not in kept, (carrier, forms)


@pytest.mark.skipif(SERVERS, reason="no database involved: run with the SQLite tests")
def test_values_converted_together_come_out_as_each_alone():
    # Codes, legacy forms, markers, byte order marks and newlines at a value's edges, where
    # joining could let one value's conversion reach into the next.
    rng = random.Random(22)
    edges = ["&#xE63E;", "&#xE63E", "&#", "<img", ' localsrc="44">', "\x1b$G", "j\x0f", "\ufeff",
             "\ufdd0", "\ufdd1", "\U000FE000", ":sunny:", "\n", "\r", "\r\n", "",
             "今日は ok"]  # fmt: skip
    for carrier in CARRIERS:
        # The carrier's own codes, the edges as often, and a few of another's (which the
        # converter refuses).
        pieces = rng.sample([e[0] for e in own_emoji(carrier).values()], 20) + edges
        pieces += rng.sample([e[0] for c in CARRIERS if c != carrier
                              for e in own_emoji(c).values()], 2)  # fmt: skip
        values = ["".join(rng.choices(pieces, k=rng.randint(0, 4))) for _ in range(1500)]
        values += ["\ufeff" + pieces[0], pieces[0] + "\n", migrate.Unfit("no UTF-8"), None]
        for to, forms in (("unicode", "default"), ("notation", "default,cp932")):
            options = migrate.parser().parse_args(["sqlite://", "-T", "t", "--from", carrier,
                                                   "--to", to, "--forms", forms])  # fmt: skip
            converter = migrate.ValueConverter(options)
            alone = []
            for value in values:
                try:
                    alone.append(value if isinstance(value, migrate.Unfit)
                                 else converter.convert(value))  # fmt: skip
                except migrate.Unfit as e:
                    alone.append(e)
            one_by_one = []
            convert = converter.convert
            converter.convert = lambda value: one_by_one.append(value) or convert(value)
            together = converter.convert_many(values)
            show = lambda rs: [str(r) if isinstance(r, migrate.Unfit) else r for r in rs]
            assert show(together) == show(alone), (carrier, to)
            if forms == "default":  # (read as CP932 text, the carriers' own codes fail)
                assert len(one_by_one) < len(values) / 2, carrier
