#!/usr/bin/python3
"""nginx, a real server that honours ranges, beside the tests' own update server: HTTPS
on a localhost port with the test CA's certificate, serving a folder. Each response is
logged to STATE_DIR/nginx-responses.log as "STATUS SENT PATH RANGE", as the tests' own
server logs to responses.log, and in the combined format (nginx's default) to
STATE_DIR/nginx-access.log. /report answers 204, as a publisher's address for update
reports may. Without nginx nothing starts: the tests that need it fail.

  nginx_server.py start STATE_DIR SERVE_DIR CERT KEY   port in STATE_DIR/nginx_port
  nginx_server.py stop STATE_DIR
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

CONFIG = """daemon off;
master_process off;
pid {state}/nginx.pid;
error_log {state}/nginx-error.log;
events {{ worker_connections 64; }}
http {{
    log_format responses '$status $body_bytes_sent $request_uri "$http_range"';
    access_log {state}/nginx-responses.log responses;
    access_log {state}/nginx-access.log combined;
    client_body_temp_path {state}/nginx-temp/body;
    proxy_temp_path {state}/nginx-temp/proxy;
    fastcgi_temp_path {state}/nginx-temp/fastcgi;
    uwsgi_temp_path {state}/nginx-temp/uwsgi;
    scgi_temp_path {state}/nginx-temp/scgi;
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{port} ssl;
        server_name localhost;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        root {www};
        location = /report {{ return 204; }}
    }}
}}
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start(state_dir, serve_dir, cert, key):
    stop(state_dir)
    program = shutil.which("nginx") or "/usr/sbin/nginx"
    port_file = os.path.join(state_dir, "nginx_port")
    if os.path.exists(port_file):
        os.remove(port_file)
    if not os.path.exists(program):
        print("nginx is not installed (Debian's nginx-light)", file=sys.stderr)
        return 1
    os.makedirs(os.path.join(state_dir, "nginx-temp"), exist_ok=True)
    # A port found free may be another program's by the time nginx binds it: then nginx
    # ends at once, and another port is tried.
    for _ in range(5):
        port = free_port()
        config = os.path.join(state_dir, "nginx.conf")
        with open(config, "w") as f:
            f.write(CONFIG.format(state=state_dir, port=port, cert=cert, key=key, www=serve_dir))
        with open(os.path.join(state_dir, "nginx-error.log"), "ab") as log:
            server = subprocess.Popen([program, "-p", state_dir, "-c", config],
                                      stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                      start_new_session=True)
        with open(os.path.join(state_dir, "nginx-server.pid"), "w") as f:
            f.write(str(server.pid))
        while server.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
            except OSError:
                time.sleep(0.05)
                continue
            write_at_once(port_file, str(port))
            return 0
    print("nginx did not start; see %s/nginx-error.log" % state_dir, file=sys.stderr)
    return 1


def write_at_once(path, text):
    """Whoever reads the file sees it whole or not at all."""
    with open(path + ".tmp", "w") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def stop(state_dir):
    try:
        with open(os.path.join(state_dir, "nginx-server.pid")) as f:
            os.kill(int(f.read()), signal.SIGTERM)
    except (OSError, ValueError):
        pass
    return 0


def main():
    command, state_dir = sys.argv[1], os.path.abspath(sys.argv[2])
    if command == "start":
        return start(state_dir, *(os.path.abspath(a) for a in sys.argv[3:6]))
    return stop(state_dir)


if __name__ == "__main__":
    sys.exit(main())
