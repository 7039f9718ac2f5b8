"""Debian's squid as the HTTPS (CONNECT) proxy of the proxy tests: on a localhost port,
every request it forwards leaves from 127.0.0.2, so that a server that only answers that
address is reached through it alone. Its access log says what went through it."""
import os
import shutil
import socket
import subprocess
import tempfile
import time

CONFIG = """http_port 127.0.0.1:{port}
pid_filename {state}/squid.pid
cache_log {state}/cache.log
access_log stdio:{state}/access.log squid
logfile_rotate 0
cache deny all
cache_mem 8 MB
acl CONNECT method CONNECT
http_access allow localhost
http_access deny all
tcp_outgoing_address {outgoing}
coredump_dir {state}
shutdown_lifetime 0 seconds
pinger_enable off
netdb_filename none
"""

OUTGOING = "127.0.0.2"


class Squid:
    def __init__(self):
        # Started as root, squid runs as its own user, which must reach and write its logs
        # here: a folder of the system's temporary folder, not one below a home folder.
        self.state = tempfile.mkdtemp(prefix="bw-squid-")
        os.chmod(self.state, 0o777)
        config = os.path.join(self.state, "squid.conf")
        program = shutil.which("squid") or "/usr/sbin/squid"
        # A port found free may be another program's by the time squid binds it: then
        # squid ends at once, and another port is tried.
        for _ in range(5):
            with socket.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                self.port = probe.getsockname()[1]
            with open(config, "w") as f:
                f.write(CONFIG.format(port=self.port, state=self.state, outgoing=OUTGOING))
            self.process = subprocess.Popen([program, "-N", "-f", config],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            while self.process.poll() is None:
                with socket.socket() as client:
                    if client.connect_ex(("127.0.0.1", self.port)) == 0:
                        return
                time.sleep(0.05)
        log = os.path.join(self.state, "cache.log")
        said = open(log).read()[-2000:] if os.path.exists(log) else "(no cache.log)"
        self.stop()
        raise RuntimeError("squid did not start:\n" + said)

    def address(self):
        return "127.0.0.1:%d" % self.port

    def requests(self):
        """(result, method, address) of each request in the access log, written whole so
        far; the connection that found squid listening made none. Squid logs a tunnel
        once it closes, which may be after the client is done with it."""
        path = os.path.join(self.state, "access.log")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            lines = f.read().decode("utf-8", "replace").split("\n")[:-1]
        fields = [line.split() for line in lines]
        return [(f[3].split("/")[0], f[5], f[6]) for f in fields if len(f) > 6 and f[5] != "-"]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.state, ignore_errors=True)
