"""The nginx site in front of the course server, as the setter puts it in
production: TLS with the setter's certificate, timeouts and per-address
limits that hold against slow clients, the answer form's 4 KiB, and the
packages sent by nginx itself once the server has checked the token
(X-Accel-Redirect to an internal location), so that a download costs what
nginx's own static serving costs and holds no thread of the server."""

import hashlib
import os
import re
from pathlib import Path

from .common import SetError, escaped
from .server import ACCEL_PREFIX, BODY_LIMIT, HEADERS
from .serving import listen_address

# nginx reads these in a path or a name as syntax ('$' as a variable).
# A byte that is not UTF-8 (a surrogate here) would name another file.
UNSAFE = re.compile('[\x00-\x20\x7f"\'\\\\;{}$#\udc80-\udcff]')
SITE = """\
# The course server of the set in {folder}, written by `challenge-set nginx-site`.
# Goes in /etc/nginx/sites-enabled/; `serve --behind-nginx --listen {upstream}` runs behind it.
limit_conn_zone $binary_remote_addr zone={name}_connections:10m;
limit_req_zone $binary_remote_addr zone={name}_requests:10m rate={rate}r/s;

upstream {name}_server {{
    server {upstream};
    keepalive 16;
}}

server {{
    listen {listen} ssl;
    server_name {server_name};
    ssl_certificate {certificate};
    ssl_certificate_key {key};
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_session_cache shared:{name}_tls:10m;
    server_tokens off;
    # Every path holds a learner's or the setter's token: the server logs
    # each request with a hash of it instead. nginx's error log may still
    # name a request that the server could not answer (when it is down).
    access_log off;

    # Slow clients are nginx's to hold, not the server's: a request must
    # arrive, and be read, within these.
    client_header_timeout 10s;
    client_body_timeout 10s;
    send_timeout 30s;
    keepalive_timeout 15s;
    client_max_body_size {body};
    client_body_buffer_size {body};
    large_client_header_buffers 4 8k;
    # Per address: a class behind one school address shares these.
    limit_conn {name}_connections {connections};
    limit_req zone={name}_requests burst={burst} nodelay;
    limit_conn_status 429;
    limit_req_status 429;

    location / {{
        proxy_pass http://{name}_server;
        proxy_http_version 1.1;
        proxy_set_header Connection "";
        proxy_set_header Host $host;
        proxy_connect_timeout 5s;
        proxy_read_timeout 30s;
        proxy_send_timeout 30s;
    }}

    # Reached only through the server's X-Accel-Redirect, after it has
    # checked the learner's token; the Content-Type and
    # Content-Disposition are the server's, the other headers its too. Any
    # other request for it gets the server's own 404, as every wrong path.
    location {accel} {{
        internal;
        alias {packages}/;
        error_page 404 = @server;
{headers}    }}

    location @server {{
        proxy_pass http://{name}_server;
        proxy_http_version 1.1;
        proxy_set_header Connection "";
        proxy_set_header Host $host;
    }}
}}
"""


def add_options(commands):
    site = commands.add_parser(
        "nginx-site", help="write the nginx site that serves a set over HTTPS",
        description="Writes the nginx site for a set served by `serve --behind-nginx`: TLS "
        "with your certificate, limits against slow and greedy clients, and the packages sent "
        "by nginx itself. nginx's user (www-data) must be able to read DIR/packages.")
    site.add_argument("--set-dir", required=True, metavar="DIR", help="the set's folder")
    site.add_argument("--server-name", required=True, metavar="NAME",
                      help="the host name learners reach it at (course.example.org)")
    site.add_argument("--certificate", required=True, metavar="FILE",
                      help="the TLS certificate (chain) in PEM")
    site.add_argument("--certificate-key", required=True, metavar="FILE",
                      help="its private key in PEM")
    site.add_argument("--listen", default="443", metavar="[HOST:]PORT",
                      help="where nginx listens (default: 443)")
    site.add_argument("--upstream", default="127.0.0.1:8000", metavar="HOST:PORT",
                      help="where `serve` listens (default: 127.0.0.1:8000)")
    site.add_argument("--per-address", type=int, default=64, metavar="N",
                      help="connections one address may hold at once (default: 64; raise it "
                           "for a class behind one school address)")
    site.add_argument("--out", metavar="FILE", help="the site file to write (default: shown)")


def declared(arguments):
    # The site is never written into the set's folder, whose files it serves.
    return [("--certificate", arguments.certificate, False),
            ("--certificate-key", arguments.certificate_key, False),
            ("--set-dir", arguments.set_dir, True)], [("--out", arguments.out, False)]


def nginx_text(option, text):
    if not text or UNSAFE.search(text):
        raise SetError(f"{option}: {escaped(text)} holds what nginx would read as syntax (a "
                       "blank, a quote, a backslash, ';', '{', '}', '$' or '#'); use a path "
                       "without it")
    return text


def site_of(arguments):
    folder = Path(os.path.realpath(arguments.set_dir))
    if not (folder / "packages").is_dir() or not (folder / "answers.csv").is_file():
        raise SetError(f"{escaped(arguments.set_dir)}: not a set's folder (no answers.csv and "
                       "packages/ in it)")
    if not 1 <= arguments.per_address <= 100000:
        raise SetError(f"--per-address: {arguments.per_address} is not 1 to 100000")
    host, port = listen_address(arguments.upstream, "--upstream")
    if not re.fullmatch(r"[0-9A-Fa-f:.]*:[0-9A-Fa-f:.]*|(?!.*\.\.)[A-Za-z0-9][A-Za-z0-9.-]*", host):
        raise SetError(f"--upstream: {escaped(arguments.upstream)} names no host (127.0.0.1:8000)")
    listen = arguments.listen
    if not re.fullmatch(r"([0-9.]+:|\[[0-9A-Fa-f:]+\]:)?[0-9]{1,5}", listen) or \
            not 0 < int(listen.rsplit(":", 1)[-1]) < 65536:
        raise SetError(f"--listen: {escaped(listen)} is not PORT or HOST:PORT (443)")
    for option, path in (("--certificate", arguments.certificate),
                         ("--certificate-key", arguments.certificate_key)):
        if not os.path.isfile(path):
            raise SetError(f"{option}: {escaped(path)}: no such file")
    if not re.fullmatch(r"[A-Za-z0-9.-]{1,253}|\[[0-9A-Fa-f:]+\]", arguments.server_name):
        raise SetError(f"--server-name: {escaped(arguments.server_name)} is not a host name")
    # Zones and the upstream are named after the set, so that two sets can
    # be served by one nginx.
    digest = hashlib.sha256(os.fsencode(folder)).hexdigest()[:8]
    name = f"login_challenge_{re.sub(r'[^A-Za-z0-9]', '_', folder.name)[:32]}_{digest}"
    return SITE.format(
        folder=nginx_text("--set-dir", str(folder)), name=name, listen=listen,
        server_name=arguments.server_name,
        upstream=f"[{host}]:{port}" if ":" in host else f"{host}:{port}",
        certificate=nginx_text("--certificate", os.path.realpath(arguments.certificate)),
        key=nginx_text("--certificate-key", os.path.realpath(arguments.certificate_key)),
        body=f"{BODY_LIMIT // 1024}k", connections=arguments.per_address,
        rate=max(10, arguments.per_address // 2), burst=max(100, arguments.per_address * 4),
        accel=ACCEL_PREFIX, packages=nginx_text("--set-dir", str(folder / "packages")),
        headers="".join(f"        add_header {header} \"{value}\" always;\n"
                        for header, value in HEADERS))


def write_site(arguments, files, say):
    text = site_of(arguments)
    if arguments.out is None:
        say(text.rstrip("\n"))
        return 0
    files.stage("--out", arguments.out, text.encode(), 0o644)
    files.place()
    say(f"the nginx site: {escaped(arguments.out)}; check it with `nginx -t` and reload nginx",
        error=True)
    return 0
