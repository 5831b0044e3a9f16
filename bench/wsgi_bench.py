#!/usr/bin/python3
"""What EmojiMiddleware adds to a page's response time under gunicorn, in one run.

    PYTHONPATH=build/python /usr/bin/python3 bench/wsgi_bench.py [--requests N] [--rounds N]
        [--no-pin] [--check] [--calibrate] [--control copy|conversion] [--iterable]

Two gunicorn servers on 127.0.0.1 (one worker, one thread, keep-alive) serve the same 10 KB
HTML page, one bare and one behind the middleware; one keep-alive connection to each asks for
the page over and over, in rounds that alternate between the two, so that both meet the same
load on a shared machine. Shown per client (a PC, an i-mode handset): the best round's time
per request of each and what the middleware adds, and the CPU time each server's processes
spent per request over all rounds (read from the kernel's scheduler statistics, so other
load on the machine does not blur it). --check exits 1 if the middleware adds more than 20 %
to the response time.

Where two CPUs or more are free, the client runs on one and both servers on another: left to
the scheduler, each server's worker settles beside the client or away from it for a whole run,
and the two placements differ by tens of microseconds a request here, more than what is
measured. --no-pin leaves the placement to the scheduler.

--calibrate serves the bare app from both servers: what it shows as added is the noise of the
method on this machine, to read the other figures against. --control serves, in place of the
middleware, one of two controls that tell its parts apart: `copy`, the bare app's page copied
into a new bytes object and sent with the middleware's headers (what any middleware that makes
a new body pays), or `conversion`, the page converted as the middleware converts it
(glyphary.PageLocalizer), with next to no Python around it. --iterable has both apps give the
page as Flask's and Django's response objects do, an iterable of one chunk rather than a list.
"""

import argparse
import http.client
import os
import socket
import subprocess
import sys
import time

# The page: a template's output after a migration to Unicode, notation and standard emoji in
# its text, a style and a script, 10 KB.
_ITEM = (
    '<li class="entry"><a href="/diary/%d" title="Entry :sunny:">Morning walk %d</a> '
    "Sunny all day :sunny:, clouds later \u2601\ufe0f. Lunch at the station caf\u00e9 with "
    "friends, then the park. \u4eca\u65e5\u306f\u3044\u3044\u5929\u6c17 :ok: "
    '<img alt=":camera:" src="/img/%d.jpg"></li>\n'
)
PAGE = (
    "<!DOCTYPE html><html><head><title>Diary :memo:</title>"
    "<style>a:link:hover{color:#c00} li.entry:first-child{margin:0}</style>"
    "<script>var t = '12:30:45'; function f(a, b) { return a < b; }</script></head><body><ul>\n"
    + "".join(_ITEM % (i, i, i) for i in range(40))
    + "</ul></body></html>\n"
).encode()

AGENTS = {
    "pc": "Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0",
    "imode": "DoCoMo/2.0 P903i(c100;TB;W24H12)",
}


def bare(environ, start_response):
    start_response(
        "200 OK", [("Content-Type", "text/html; charset=utf-8"), ("Content-Length", str(len(PAGE)))]
    )
    return [PAGE]


def bare_iterable(environ, start_response):
    """The bare app's page as a framework's response object gives it: an iterable, not a list."""
    return iter(bare(environ, start_response))


def wrapped_app(app=bare):
    from glyphary.wsgi import EmojiMiddleware

    return EmojiMiddleware(app)


def wrapped_iterable_app():
    return wrapped_app(bare_iterable)


def _controlled(make_body):
    """The bare app's response with the body make_body(page, user_agent) and the headers of a
    converted page: a control in place of the middleware."""

    def app(environ, start_response):
        started = []
        page = bare(environ, lambda status, headers, exc_info=None: started.append(status))[0]
        body = make_body(page, environ.get("HTTP_USER_AGENT", ""))
        start_response(
            started[0],
            [("Content-Type", "text/html; charset=UTF-8"), ("Vary", "User-Agent"),
             ("Content-Length", str(len(body)))],
        )  # fmt: skip
        return [body]

    return app


def copy_app():
    return _controlled(lambda page, agent: page[:-1] + page[-1:])


def conversion_app():
    from glyphary import PageLocalizer

    pages = PageLocalizer()
    carriers = {AGENTS["pc"]: ("unicode", "utf-8"), AGENTS["imode"]: ("imode", "sjis")}
    converters = {}
    for agent, (carrier, encoding) in carriers.items():
        pages.prepare(carrier)
        converters[agent] = pages.conversion(carrier, "html", encoding).convert
    return _controlled(lambda page, agent: converters[agent](page))


def serve(app, cpu=None):
    """A gunicorn serving `app` of this file (on `cpu` if given); its process and port."""
    listener = socket.create_server(("127.0.0.1", 0))
    # Accepted connections inherit it: gunicorn writes a response's head and body apart, and
    # without it the second write waits for the client's delayed acknowledgement (40 ms).
    listener.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    here = os.path.dirname(os.path.abspath(__file__))
    server = subprocess.Popen(
        [sys.executable, "-m", "gunicorn", "--bind", "fd://%d" % listener.fileno(), "--workers", "1",
         "--worker-class", "gthread", "--threads", "1", "--keep-alive", "60", "--pythonpath", here,
         "--log-level", "warning", app],
        pass_fds=[listener.fileno()],
        preexec_fn=None if cpu is None else lambda: os.sched_setaffinity(0, {cpu}),
    )  # fmt: skip
    port = listener.getsockname()[1]
    listener.close()
    return server, port


def get(connection, agent):
    connection.request("GET", "/", headers={"User-Agent": agent})
    # The response's head and body come in two writes; acknowledged at once, the second never
    # waits for the client's delayed acknowledgement, which would time TCP rather than the app.
    connection.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
    response = connection.getresponse()
    body = response.read()
    if response.status != 200:
        raise RuntimeError("status %d" % response.status)
    return body


def cpu_seconds(server):
    """CPU time used so far by a gunicorn master and its workers, every thread."""
    total = 0
    pids = [server.pid]
    with open("/proc/%d/task/%d/children" % (server.pid, server.pid)) as children:
        pids += [int(pid) for pid in children.read().split()]
    for pid in pids:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as stat:
                total += int(stat.read().split()[0])  # nanoseconds on a CPU
    return total / 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=300, help="per round")
    parser.add_argument("--rounds", type=int, default=9, help="alternating rounds (more when busy)")
    parser.add_argument("--no-pin", action="store_true", help="leave placement to the scheduler")
    parser.add_argument("--check", action="store_true", help="exit 1 above 20 %% added")
    parser.add_argument("--calibrate", action="store_true", help="the bare app on both servers")
    parser.add_argument("--control", choices=["copy", "conversion"],
                        help="a control in place of the middleware")
    parser.add_argument("--iterable", action="store_true",
                        help="the app gives its page as an iterable, as Flask and Django do")
    args = parser.parse_args()

    cpus = sorted(os.sched_getaffinity(0))
    server_cpu = None
    if not args.no_pin and len(cpus) >= 2:
        os.sched_setaffinity(0, {cpus[0]})
        server_cpu = cpus[1]
        print("client on CPU %d, both servers on CPU %d" % (cpus[0], server_cpu))
    first = "wsgi_bench:bare_iterable" if args.iterable else "wsgi_bench:bare"
    wrapped = "wsgi_bench:wrapped_iterable_app()" if args.iterable else "wsgi_bench:wrapped_app()"
    second = first if args.calibrate else wrapped
    second_name = "bare" if args.calibrate else "middleware"
    if args.control:
        second = "wsgi_bench:%s_app()" % args.control
        second_name = args.control
    servers = [serve(first, server_cpu), serve(second, server_cpu)]
    try:
        connections = []
        for _, port in servers:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            for attempt in range(100):
                try:
                    get(connection, AGENTS["pc"])
                    break
                except OSError:
                    time.sleep(0.1)
                    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            connections.append(connection)
        print("a %d-byte page, %d requests per round, best of %d rounds"
              % (len(PAGE), args.requests, args.rounds))
        ok = True
        best = {(client, i): float("inf") for client in AGENTS for i in (0, 1)}
        cpu = {key: 0.0 for key in best}
        for connection in connections:  # warm both up
            for _ in range(args.requests):
                get(connection, AGENTS["pc"])
        for _ in range(args.rounds):
            for client, agent in AGENTS.items():
                for i, connection in enumerate(connections):
                    used = cpu_seconds(servers[i][0])
                    started = time.perf_counter()
                    for _ in range(args.requests):
                        get(connection, agent)
                    elapsed = (time.perf_counter() - started) / args.requests
                    cpu[client, i] += cpu_seconds(servers[i][0]) - used
                    best[client, i] = min(best[client, i], elapsed)
        for client, agent in AGENTS.items():
            sizes = [len(get(c, agent)) for c in connections]
            bare_time, wrapped_time = best[client, 0], best[client, 1]
            added = wrapped_time / bare_time - 1
            bare_cpu, wrapped_cpu = (cpu[client, i] / (args.rounds * args.requests) for i in (0, 1))
            print("%-6s response: bare %5.0f us, %s %5.0f us, added %5.1f %%   "
                  "server CPU: %5.0f us, %5.0f us, added %5.1f %%   (%d -> %d bytes)"
                  % (client, bare_time * 1e6, second_name, wrapped_time * 1e6, added * 100,
                     bare_cpu * 1e6, wrapped_cpu * 1e6, (wrapped_cpu / bare_cpu - 1) * 100, *sizes))
            ok = ok and added <= 0.20
    finally:
        for server, _ in servers:
            server.terminate()
            server.wait()
    if args.check and not ok:
        print("above target: the middleware adds more than 20 %")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
