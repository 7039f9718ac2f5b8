"""Behind a proxy: the update server answers only Debian's squid (every connection from
elsewhere is closed), and the program's transfers reach it through the proxy the user's
settings name, as Windows keeps them."""
import os

import e2e
from squid_proxy import OUTGOING, Squid

RELEASE = {"brindlewick.exe": None, "updater.exe": e2e.SETUP}
CONNECTIONS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"


def connection_settings(proxy, bypass=""):
    """The user's Internet Options as Windows stores them: a fixed proxy, no detection."""
    def counted(text):
        return len(text).to_bytes(4, "little") + text.encode("ascii")
    flags = 0x3 if proxy else 0x1  # a direct connection, and the proxy when there is one
    blob = ((0x46).to_bytes(4, "little") + (1).to_bytes(4, "little") +
            flags.to_bytes(4, "little") + counted(proxy) + counted(bypass) + counted("") +
            bytes(32))
    e2e.reg("add", CONNECTIONS, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY",
             "/d", blob.hex(), "/f")
    e2e.reg("add", SETTINGS, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d",
             "1" if proxy else "0", "/f")
    e2e.reg("add", SETTINGS, "/v", "ProxyServer", "/d", proxy, "/f")
    e2e.reg("add", SETTINGS, "/v", "ProxyOverride", "/d", bypass, "/f")


def test_transfers_go_through_the_users_proxy(clean, tmp_path):
    squid = Squid()
    server = e2e.Server(str(tmp_path / "www"), only_from=OUTGOING)
    tunnel = ("TCP_TUNNEL", "CONNECT", "localhost:%d" % server.port)  # as squid logs it
    try:
        base = server.publish("1.0.0", RELEASE, channel="proxied")

        # Without a proxy, the server is out of reach.
        assert e2e.run(e2e.SETUP, "/quiet", base_url=base) == (1, [])
        assert e2e.log_lines()[-1].startswith("install failed: download failed")
        assert server.requests() == [] and squid.requests() == []

        # Through it, in tunnels squid logs as they close: the manifest and the package.
        connection_settings(squid.address())
        assert e2e.run(e2e.SETUP, "/quiet", base_url=base) == (0, [])
        assert e2e.state() == {"installed": "1.0.0"}
        assert [path for _, path in server.requests()] == [
            "/files/proxied/latest.json", "/files/1.0.0/package.zip"]
        # Squid logs a tunnel once it has closed, and one may be kept open for the next
        # request: what the server got came through squid all the same, for it answers
        # nobody else.
        assert e2e.wait_for(lambda: squid.requests()) and set(squid.requests()) == {tunnel}

        # The stub's check stages the next release the same way.
        server.publish("1.1.0", RELEASE, channel="proxied")
        assert e2e.start_stub(base) == (0, [])
        assert e2e.state() == {"installed": "1.0.0", "staged": "1.1.0"}
        assert [path for _, path in server.requests()][2:] == [
            "/files/proxied/latest.json", "/files/1.1.0/package.zip"]
        assert set(squid.requests()) == {tunnel}

        # An address on the bypass list is reached directly: here, not at all.
        connection_settings(squid.address(), bypass="localhost")
        server.publish("1.2.0", RELEASE, channel="proxied")
        assert e2e.start_stub(base) == (0, [])
        assert e2e.log_lines()[-1].startswith("check failed: download failed")
        assert len(server.requests()) == 4
    finally:
        connection_settings("")
        server.stop()
        squid.stop()
