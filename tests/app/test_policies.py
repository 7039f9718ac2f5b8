"""Policies an administrator sets under HKLM or HKCU\\Software\\Policies\\Brindlewick, end
to end: each value under either key, the machine's value winning over the user's, values
that are not obeyed, and the sample .reg file of the documentation."""
import os

import pytest

import e2e

NOTHING_NEW, FAILED, DISABLED, STAGED = 0, 1, 4, 10
POLICY_KEY = "Software\\Policies\\Brindlewick"
SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                      "brindlewick-policies.reg")


def set_policy(root, name, value):
    """A DWORD for an int, a string for a str."""
    kind, data = ("REG_DWORD", str(value)) if isinstance(value, int) else ("REG_SZ", value)
    e2e.reg("add", "%s\\%s" % (root, POLICY_KEY), "/v", name, "/t", kind, "/d", data,
             "/f")


def clear_policies():
    for root in ("HKLM", "HKCU"):
        e2e.reg("delete", "%s\\%s" % (root, POLICY_KEY), "/f", check=False)


@pytest.fixture
def policies():
    clear_policies()
    yield
    clear_policies()


def answer(installed, staged=None, latest=None, error=None):
    return {"installed": installed, "staged": staged, "latest": latest, "error": error}


def new_lines(logged):
    return e2e.log_lines()[logged:]


def installed_with_reports(server, name):
    """1.0.0 installed from a base that then announces 1.1.0, and 1.2.0 on channel beta,
    each manifest asking for reports at /status/204/NAME: returns (base, report path)."""
    reports = "/status/204/" + name

    def report(manifest):
        manifest["report"] = server.url(reports)
    server.publish("1.0.0", name=name + "-1.0.0", channel=name, tamper=report)
    base = server.url("/files/" + name)
    assert e2e.install(base)[0] == 0
    server.publish("1.1.0", name=name + "-1.1.0", channel=name, tamper=report)
    server.publish("1.2.0", name=name + "-1.2.0", channel=name, update_channel="beta",
                   tamper=report)
    return base, reports


@pytest.mark.parametrize("root", ["HKLM", "HKCU"])
def test_each_policy_under_either_key(server, clean, policies, root):
    name = "policies-" + root.lower()
    base, reports = installed_with_reports(server, name)
    nowhere = server.url("/files/nowhere-" + name)

    # Updates turned off: /check says so with its own code, and a start from the shortcut
    # starts the application without looking for an update.
    set_policy(root, "UpdatesDisabled", 1)
    manifests = len(server.requests("/%s/latest" % name))
    assert e2e.command(base, "/check") == (DISABLED, answer(
        "1.0.0", error="updates are turned off by policy"))
    logged = len(e2e.log_lines())
    assert e2e.start_stub(base) == (0, [])
    assert e2e.wait_for(lambda: len(e2e.launches("1.0.0")) == 2)
    assert e2e.wait_for(lambda: "no check: updates are turned off by policy" in new_lines(logged))
    assert len(server.requests("/%s/latest" % name)) == manifests
    clear_policies()

    # A prefix holds the installation to 1.0.x: 1.1.0 is announced and not taken.
    set_policy(root, "TargetVersionPrefix", "1.0")
    assert e2e.command(base, "/check") == (NOTHING_NEW, answer("1.0.0", latest="1.1.0"))
    assert e2e.log_lines()[-1] == "update 1.1.0 not taken: policy TargetVersionPrefix is 1.0"
    logged = len(e2e.log_lines())
    assert e2e.command(base, "/check")[0] == NOTHING_NEW
    assert new_lines(logged) == []  # said once
    clear_policies()

    # The policy's channel in place of the installation's own: beta's 1.2.0 is announced,
    # and a prefix of 1.1 holds it back.
    set_policy(root, "Channel", "beta")
    set_policy(root, "TargetVersionPrefix", "1.1")
    assert e2e.command(base, "/check") == (NOTHING_NEW, answer("1.0.0", latest="1.2.0"))
    assert server.requests("/%s/latest-beta.json" % name)
    assert "channel" not in e2e.state()  # the installation's own is kept
    clear_policies()

    # A mirror in place of the address the program was given, and no reports: 1.1.0 is
    # staged from the mirror, and nothing is reported.
    set_policy(root, "UpdateUrl", base)
    set_policy(root, "ReportsDisabled", 1)
    assert e2e.command(nowhere, "/check") == (STAGED, answer("1.0.0", "1.1.0", "1.1.0"))
    assert not server.requests("/files/nowhere-" + name)
    assert not server.requests(reports)
    clear_policies()

    # Without the policy the trial's end is reported, at the address the record kept.
    assert e2e.start_stub(base) == (0, [])
    assert e2e.wait_for(lambda: server.requests(reports))
    assert [path for _, path in server.requests(reports)] == [
        reports + "?event=committed&version=1.1.0&from=1.0.0&channel=&bucket=%d" % e2e.bucket()]


def test_the_machines_value_wins_and_bad_values_are_not_obeyed(server, clean, policies):
    base, reports = installed_with_reports(server, "policies-both")
    nowhere = server.url("/files/nowhere-policies-both")
    # The user's values under the machine's, which win value by value: updates on, the
    # prefix 1.0, the mirror, reports, and the default channel.
    set_policy("HKCU", "UpdatesDisabled", 1)
    set_policy("HKLM", "UpdatesDisabled", 0)
    set_policy("HKCU", "TargetVersionPrefix", "1")
    set_policy("HKLM", "TargetVersionPrefix", "1.0")
    set_policy("HKCU", "UpdateUrl", nowhere)
    set_policy("HKLM", "UpdateUrl", base)
    set_policy("HKCU", "Channel", "beta")
    set_policy("HKLM", "Channel", "")
    set_policy("HKCU", "ReportsDisabled", 1)
    set_policy("HKLM", "ReportsDisabled", 0)
    assert e2e.command(nowhere, "/check") == (NOTHING_NEW, answer("1.0.0", latest="1.1.0"))
    assert e2e.log_lines()[-1] == "update 1.1.0 not taken: policy TargetVersionPrefix is 1.0"
    set_policy("HKLM", "TargetVersionPrefix", "1.1")
    assert e2e.command(nowhere, "/check") == (STAGED, answer("1.0.0", "1.1.0", "1.1.0"))
    assert not server.requests("/nowhere-policies-both")
    assert not server.requests("/policies-both/latest-beta")
    assert e2e.wait_for(lambda: server.requests(reports))  # the machine allows reports
    clear_policies()

    # A version staged before the policy held it back stays staged and untried.
    set_policy("HKLM", "TargetVersionPrefix", "1.0")
    assert e2e.command(base, "/check") == (NOTHING_NEW, answer("1.0.0", latest="1.1.0"))
    assert e2e.start_stub(base) == (0, [])
    assert e2e.wait_for(lambda: len(e2e.launches("1.0.0")) == 2)
    assert "staged 1.1.0 not tried: held back by policy" in e2e.log_lines()
    assert e2e.state()["staged"] == "1.1.0" and e2e.launches("1.1.0") == []
    clear_policies()

    # Values of the wrong type or malformed: each logged, none obeyed.
    set_policy("HKLM", "UpdatesDisabled", "1")
    set_policy("HKLM", "TargetVersionPrefix", "1.0.x")
    set_policy("HKLM", "UpdateUrl", nowhere + "/latest.json")
    set_policy("HKCU", "UpdateUrl", "http://localhost/files/nowhere")
    set_policy("HKLM", "Channel", "Beta")
    e2e.reg("add", "HKLM\\" + POLICY_KEY, "/v", "ReportsDisabled", "/t", "REG_BINARY",
             "/d", "01", "/f")
    logged = len(e2e.log_lines())
    assert e2e.command(base, "/check") == (STAGED, answer("1.0.0", "1.1.0", "1.1.0"))
    assert new_lines(logged) == [
        "policy UpdatesDisabled ignored (HKLM): not a DWORD",
        "policy ReportsDisabled ignored (HKLM): not a DWORD",
        "policy TargetVersionPrefix ignored (HKLM): not 1 to 4 dot-separated numbers",
        "policy UpdateUrl ignored (HKLM): names a file; give the folder that holds latest.json",
        "policy Channel ignored (HKLM): not 1 to 32 of a-z, 0-9 and -",
        "policy UpdateUrl ignored (HKCU): not an https address"]


def test_the_users_own_refusal_of_reports_and_a_report_that_fails(server, clean, policies):
    name = "policies-user"
    server.publish("1.0.0", name=name + "-1.0.0", channel=name)
    base = server.url("/files/" + name)
    assert e2e.install(base)[0] == 0

    def report_to(address):
        def tamper(manifest):
            manifest["report"] = address
        return tamper
    reports = "/status/204/" + name
    server.publish("1.1.0", name=name + "-1.1.0", channel=name,
                   tamper=report_to(server.url(reports)))
    e2e.reg("add", "HKCU\\Software\\Brindlewick", "/v", "ReportsDisabled", "/t",
             "REG_DWORD", "/d", "1", "/f")
    try:
        assert e2e.command(base, "/check")[0] == STAGED
    finally:
        e2e.reg("delete", "HKCU\\Software\\Brindlewick", "/v", "ReportsDisabled", "/f")
    assert not server.requests(reports)

    # Nothing listens there: the report is dropped, logged, and not tried again.
    server.publish("1.2.0", name=name + "-1.2.0", channel=name,
                   tamper=report_to("https://localhost:1/report"))
    assert e2e.command(base, "/check")[0] == STAGED
    assert e2e.log_lines()[-2] == "staged 1.2.0"
    assert e2e.log_lines()[-1].startswith("report staged 1.2.0 dropped: ")


def test_the_installer_under_policies(server, clean, policies):
    base = server.publish("1.1.0", name="policies-installer-1.1.0", channel="policies-installer")
    # Held back: nothing is installed, and the log says why.
    set_policy("HKLM", "TargetVersionPrefix", "1.0")
    assert e2e.run(e2e.SETUP, "/quiet", base_url=base) == (1, [])
    assert e2e.log_lines()[-1] == ("install failed: version 1.1.0 is held back by policy "
                                   "(TargetVersionPrefix 1.0)")
    assert not os.path.exists(e2e.root("install.json"))
    # Updates turned off: the installer installs all the same.
    set_policy("HKLM", "UpdatesDisabled", 1)
    set_policy("HKLM", "TargetVersionPrefix", "1.1")
    assert e2e.run(e2e.SETUP, "/quiet", base_url=base) == (0, [])
    assert e2e.state()["installed"] == "1.1.0"


def test_the_sample_reg_file_sets_three_valid_policies(server, clean, policies):
    base = server.publish("1.0.0", name="policies-sample-1.0.0", channel="policies-sample")
    assert e2e.install(base)[0] == 0
    e2e.wine("regedit", "/s", e2e.windows_path(SAMPLE))
    values = e2e.reg("query", "HKLM\\" + POLICY_KEY).stdout.split()
    for name, kind, data in (("TargetVersionPrefix", "REG_SZ", "2.3"),
                             ("ReportsDisabled", "REG_DWORD", "0x1"),
                             ("UpdateUrl", "REG_SZ", "https://mirror.example.com/brindlewick")):
        assert name in values and values[values.index(name) + 1:][:2] == [kind, data], values
    logged = len(e2e.log_lines())
    # The mirror, which is not there, in place of the address the program was given.
    code, line = e2e.command(base, "/check")
    assert code == FAILED and line["error"]
    assert not [line for line in new_lines(logged) if line.startswith("policy ")]
    assert len(server.requests("/policies-sample/latest.json")) == 1  # the installer's
