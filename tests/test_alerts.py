"""Alerts: each rule's alert opens, escalates, clears, is acknowledged and does not flap over synthetic batches
committed as a run commits them; every notification reaches real receivers on 127.0.0.1 once, through
receivers that are down and a sender that is killed."""

import email
import email.policy
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pandas as pd
import pytest

from algo import alerts, cli
from algo.alerts import AlertConfig, AlertConfigError, tables
from algo.alerts.config import machine_settings
from algo.results import Produced, RulSummary
from algo.store import Outcome, Store, utc_now

START = pd.Timestamp("2024-05-01")
RULES = ("signal", "failure_mode", "iso", "streak", "silent", "failing_input")


# --- synthetic batches, committed as a run commits them ------------------------------------


def produced(step: dict, hour: int) -> Produced:
    """What one machine's job produced in a step: a score (health index `hi`), lights, a remaining life."""
    time = START + pd.Timedelta(hours=hour)
    scores = pd.DataFrame({"time": [time], "tsquare": [1.0], "health_index": [step.get("hi", 90.0)],
                           "suspicious_variable": [None]})
    lights = None if "light" not in step else pd.DataFrame([{
        "kind": step.get("kind", "failure_mode"), "feature": "Bearing", "time": time, "value": 3.0,
        "light": step["light"], "upper_warning": 1.0, "upper_alert": 2.0, "lower_warning": None, "lower_alert": None}])
    rul = None if "signal" not in step else RulSummary(
        rul=step.get("days", 40.0), unit="days", rul_at_least=False, signal=step["signal"], show=None,
        death_probability=50.0, rul_deadline=20.0, rul_warning_line=60.0, note=None, last_time=time)
    return Produced(scores=scores, lights=lights, rul=rul)


def commit_step(store: Store, alerting: alerts.Alerting, hour: int, step: dict, deliver: bool = False):
    """One run: each machine of `step` committed with what it produced (or failed, or acknowledged first)."""
    record = store.begin_run("score", "data", f"hour-{hour}", len(step))
    entries = []
    for machine, given in step.items():
        if given.get("ack"):
            tables.acknowledge(store, machine, None, "tester", "on it", utc_now())
        if given.get("failed"):
            entries.append((Outcome(machine, "failed", "input", f"{machine}.csv is empty", run=record.run), Produced()))
        else:
            entries.append((Outcome(machine, run=record.run), produced(given, hour)))
    store.commit_many(entries, during=alerting.during_commit)
    store.end_run(record.run, "completed")
    return alerting.finish(record.run, deliver=deliver)


def told(store: Store) -> list[tuple]:
    """The notifications in the outbox: (machine, rule, transition) in the order they were made."""
    return [tuple(row) for row in store.execute("""
        SELECT a.machine, a.rule, o.transition FROM outbox o JOIN alerts a USING (alert)
        ORDER BY o.created, o.alert""").fetchall()]


@pytest.fixture
def store(tmp_path):
    with Store.open(tmp_path / "store", "w") as opened:
        opened.execute("INSERT INTO machines (machine, ucl, rul_warning_line) VALUES ('a', 10, 60), ('b', 10, 60)")
        yield opened


def file_channel(tmp_path) -> dict:
    return {"log": {"type": "file", "path": str(tmp_path / "alerts.jsonl")}}


def only_rule(rule: str, **settings) -> dict:
    return {name: ({"enabled": True, **settings} if name == rule else False) for name in RULES}


A = "a"
# rule, its settings, the steps (one an hour: machine -> what it produced), what each step tells
CASES = [
    ("signal", {"hold": "1h"},
     [{A: {"signal": "green"}}, {A: {"signal": "yellow"}}, {A: {"signal": "red"}}, {A: {"signal": "yellow"}},
      {A: {"signal": "green"}}, {A: {"signal": "green"}}],
     [[], ["opened"], ["escalated"], [], [], ["cleared"]]),
    ("signal", {"days": 30, "hold": "0s"},  # a short life on a green signal
     [{A: {"signal": "green", "days": 10}}, {A: {"signal": "green", "days": 40}}], [["opened"], ["cleared"]]),
    ("failure_mode", {"hold": "90min"},  # flapping around a limit: one alert
     [{A: {"light": "yellow"}}, {A: {"light": "green"}}, {A: {"light": "yellow"}}, {A: {"light": "green"}},
      {A: {"light": "green"}}, {A: {"light": "green"}}],
     [["opened"], [], [], [], [], ["cleared"]]),
    ("iso", {"hold": "1h"},  # acknowledged, then escalated: told, and the acknowledgement lifted
     [{A: {"light": "yellow", "kind": "iso"}}, {A: {"light": "yellow", "kind": "iso", "ack": True}},
      {A: {"light": "red", "kind": "iso"}}, {A: {"light": "green", "kind": "iso"}},
      {A: {"light": "green", "kind": "iso"}}],
     [["opened"], [], ["escalated"], [], ["cleared"]]),
    ("iso", {"hold": "1h"},  # acknowledged: its clearing is not told
     [{A: {"light": "red", "kind": "iso"}}, {A: {"light": "red", "kind": "iso", "ack": True}},
      {A: {"light": "green", "kind": "iso"}}, {A: {"light": "green", "kind": "iso"}}],
     [["opened"], [], [], []]),
    ("streak", {"scores": 3, "hold": "1h"},
     [{A: {"hi": 50}}, {A: {"hi": 50}}, {A: {"hi": 90}}, {A: {"hi": 50}}, {A: {"hi": 50}}, {A: {"hi": 50}},
      {A: {"hi": 90}}, {A: {"hi": 90}}],
     [[], [], [], [], [], ["opened"], [], ["cleared"]]),
    ("silent", {"factor": 2, "hold": "0s"},  # a's batches stop while b's go on; twice the usual hour
     [{A: {}, "b": {}}, {A: {}, "b": {}}, {A: {}, "b": {}}, {"b": {}}, {"b": {}}, {"b": {}}, {A: {}, "b": {}}],
     [[], [], [], [], [], ["opened"], ["cleared"]]),
    ("failing_input", {"runs": 2, "hold": "1h"},
     [{A: {"failed": True}}, {A: {}}, {A: {"failed": True}}, {A: {"failed": True}}, {A: {"failed": True}},
      {A: {}}, {A: {}}],
     [[], [], [], ["opened"], [], [], ["cleared"]]),
]


@pytest.mark.parametrize("rule, settings, steps, expected", CASES,
                         ids=[f"{case[0]}-{number}" for number, case in enumerate(CASES)])
def test_each_rule_opens_escalates_and_clears_once(store, tmp_path, rule, settings, steps, expected):
    config = AlertConfig.parse({"rules": only_rule(rule, **settings), "channels": file_channel(tmp_path)})
    alerting = alerts.Alerting(store, config, "score")
    seen = []
    for hour, (step, tells) in enumerate(zip(steps, expected)):
        commit_step(store, alerting, hour, step)
        now = told(store)
        assert now[len(seen):] == [(A, rule, transition) for transition in tells], f"step {hour}"
        seen = now
    history = tables.history(store)
    assert len(history) == 1 and not history["is_open"].any()
    if any(step[A].get("ack") for step in steps if A in step):
        escalated = "escalated" in sum(expected, [])
        assert history["acknowledged_by"].isna().all() == escalated  # an escalation lifts the acknowledgement


def test_a_light_alert_names_the_feature_and_its_limit(store, tmp_path):
    config = AlertConfig.parse({"rules": only_rule("failure_mode")})
    commit_step(store, alerts.Alerting(store, config, "score"), 0, {A: {"light": "red"}})
    alert = tables.history(store).iloc[0]
    assert json.loads(alert["triggered"]) == {"feature": "Bearing", "value": 3.0, "light": "red", "limit": 2.0,
                                              "others": {}}
    assert alert["severity"] == "critical" and "Bearing 3 against its limit 2" in alert["summary"]
    changes = store.execute("SELECT machine, feature, light FROM light_history").fetchall()
    assert changes == [("a", "Bearing", "red")]


# --- the configuration ------------------------------------------------------------------------


@pytest.mark.parametrize("text, message", [
    ("[rules.streak]\nscores = 0", "rules.streak.scores: expected a whole number of at least 1"),
    ("[rules.sleepy]", "rules.sleepy: unknown rule"),
    ("[rules.signal]\ncolour = 'red'", "rules.signal.colour: unknown setting"),
    ("[rules.silent]\nafter = 'soon'", "rules.silent.after: expected a duration"),
    ("[channels.ops]\ntype = 'pigeon'", "channels.ops.type: expected one of webhook, email, command, file"),
    ("[channels.ops]\ntype = 'webhook'", "channels.ops: give url or url_env"),
    ("[channels.ops]\ntype = 'webhook'\nurl_env = 'NO_SUCH_VARIABLE'",
     "channels.ops.url_env: the environment variable NO_SUCH_VARIABLE is not set"),
    ("[channels.mail]\ntype = 'email'\nhost = 'h'\nto = ['x@y']", "channels.mail.from: missing"),
    ("[channels.log]\ntype = 'file'\npath = 'a'\nseverities = ['loud']", "channels.log.severities: expected one of"),
    ("[delivery]\nbudget = -1", "delivery.budget: expected a duration"),
    ("rules = [", "not valid TOML"),
])
def test_a_bad_configuration_is_one_line_naming_the_key(tmp_path, text, message):
    path = tmp_path / "alerts.toml"
    path.write_text(text)
    with pytest.raises(AlertConfigError, match=message) as refused:
        AlertConfig.load(path)
    assert len(str(refused.value).splitlines()) == 1


@pytest.mark.parametrize("cell, expected", [
    ("signal.days=20; silent=off", {"signal": {"days": "20"}, "silent": {"enabled": "off"}}),
    ({"streak": {"scores": 5}}, {"streak": {"scores": 5}}),
    ("signal.days=soon", "alerts.signal.days: expected a number of at least 0"),
    ("silent.after", "expected rule.setting=value"),
])
def test_a_manifest_row_changes_a_machines_rules(cell, expected):
    if isinstance(expected, str):
        with pytest.raises(AlertConfigError, match=expected):
            machine_settings(cell)
        return
    assert machine_settings(cell) == expected
    rules = AlertConfig().rules_of(expected)
    assert rules["signal"]["days"] == (20.0 if "signal" in expected else 30.0)


# --- receivers on 127.0.0.1 ----------------------------------------------------------------------


class Receiver(ThreadingHTTPServer):
    """A webhook receiver: keeps each request's key and body; answers `status`, or kills `kill` first."""

    def __init__(self, port: int = 0):
        self.requests, self.status, self.kill = [], 200, None
        super().__init__(("127.0.0.1", port), Hook)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}/hook"

    def stop(self) -> None:
        self.shutdown()
        self.server_close()


class Hook(BaseHTTPRequestHandler):
    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        self.server.requests.append((self.headers["Idempotency-Key"], self.headers["Authorization"], body,
                                     self.server.status))
        if self.server.kill:  # the sender dies after the send, before it could mark it delivered
            os.kill(self.server.kill, signal.SIGKILL)
        self.send_response(self.server.status)
        self.end_headers()

    def log_message(self, *args):
        pass


@pytest.fixture
def receiver():
    server = Receiver()
    yield server
    server.stop()


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def webhook_config(url: str, **delivery) -> AlertConfig:
    return AlertConfig.parse({"rules": only_rule("failing_input", runs=1, hold="0s"),
                              "channels": {"ops": {"type": "webhook", "url": url}},
                              "delivery": {"retries": 1, "backoff": "10ms", "budget": "5s", **delivery}})


def test_a_receiver_down_for_two_runs_gets_everything_once(store):
    port = free_port()
    config = webhook_config(f"http://127.0.0.1:{port}/hook")
    alerting = alerts.Alerting(store, config, "score")
    first = commit_step(store, alerting, 0, {A: {"failed": True}}, deliver=True)  # nobody listens
    server = Receiver(port)
    try:
        server.status = 503
        second = commit_step(store, alerting, 1, {"b": {"failed": True}}, deliver=True)
        server.status = 200
        third = commit_step(store, alerting, 2, {A: {}, "b": {}}, deliver=True)
        fourth = commit_step(store, alerting, 3, {A: {}, "b": {}}, deliver=True)  # nothing new: nothing sent
    finally:
        server.stop()
    assert (first.delivered, first.waiting, second.delivered, second.waiting) == (0, 1, 0, 2)
    assert "Connection refused" in first.problems["ops"] and "HTTP 503" in second.problems["ops"]
    assert (third.delivered, third.waiting, fourth.delivered, fourth.waiting) == (4, 0, 0, 0)
    arrived = [(body["machine"], body["transition"]) for _, _, body, status in server.requests if status == 200]
    assert arrived == [("a", "opened"), ("b", "opened"), ("a", "cleared"), ("b", "cleared")]
    outbox = tables.outbox(store)
    assert outbox["delivered"].notna().all() and list(outbox["attempts"]) == [5, 1, 1, 1]


def test_a_sender_killed_between_the_send_and_the_mark_sends_again_with_the_same_key(store, receiver, tmp_path):
    config_file = tmp_path / "alerts.toml"
    config_file.write_text(f"[channels.ops]\ntype = 'webhook'\nurl = '{receiver.url}'\n"
                           "[rules.failing_input]\nruns = 1\n")
    commit_step(store, alerts.Alerting(store, AlertConfig.load(config_file), "score"), 0, {A: {"failed": True}})
    path = store.path
    store.close()
    sender = subprocess.Popen([sys.executable, "-m", "algo", "fleet", "alerts", "send", "--store", str(path),
                               "--config", str(config_file)], cwd=tmp_path, stderr=subprocess.PIPE)
    receiver.kill = sender.pid
    assert sender.wait(timeout=60) == -signal.SIGKILL
    receiver.kill = None
    assert alerts.send(path, config_file).delivered == 1
    assert alerts.send(path, config_file).delivered == 0  # marked: never sent again
    keys = [key for key, _, _, _ in receiver.requests]
    assert len(keys) == 2 and keys[0] == keys[1]


def self_signed(folder: Path) -> Path:
    """A certificate for 127.0.0.1, for the SMTP receiver's STARTTLS; the client trusts it as its CA file."""
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True)
    return cert


@pytest.fixture
def mailbox(tmp_path):
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult, LoginPassword

    class Inbox:
        messages: list = []

        async def handle_DATA(self, server, session, envelope):
            self.messages.append(email.message_from_bytes(envelope.content, policy=email.policy.default))
            return "250 OK"

    def login(server, session, envelope, mechanism, data):
        return AuthResult(success=isinstance(data, LoginPassword) and (data.login, data.password) ==
                          (b"alerts", b"mail-secret"))

    cert = self_signed(tmp_path)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, tmp_path / "key.pem")
    inbox = Inbox()
    controller = Controller(inbox, hostname="127.0.0.1", port=free_port(), tls_context=context,
                            require_starttls=True, auth_required=True, authenticator=login)
    controller.start()
    yield controller, inbox, cert
    controller.stop()


def test_every_channel_takes_the_test_message_and_alerts_without_a_secret_escaping(
        store, receiver, mailbox, tmp_path, monkeypatch, capsys):
    controller, inbox, cert = mailbox
    monkeypatch.setenv("HOOK_TOKEN", "hook-secret")
    monkeypatch.setenv("MAIL_PASSWORD", "mail-secret")
    monkeypatch.setenv("DOWN_URL", f"http://127.0.0.1:{free_port()}/hook-secret-path")
    command_out = tmp_path / "command.json"
    config_file = tmp_path / "alerts.toml"
    config_file.write_text(f"""
[rules.failing_input]
runs = 1
[channels.hook]
type = "webhook"
url = "{receiver.url}"
token_env = "HOOK_TOKEN"
[channels.chat]
type = "webhook"
url = "{receiver.url}"
format = "text"
severities = ["critical"]
[channels.mail]
type = "email"
host = "127.0.0.1"
port = {controller.port}
username = "alerts"
password_env = "MAIL_PASSWORD"
cafile = "{cert}"
from = "alerts@plant.example"
to = ["maintenance@plant.example"]
[channels.pager]
type = "command"
command = ["{sys.executable}", "-c", "import sys, pathlib; pathlib.Path(sys.argv[1]).write_bytes(sys.stdin.buffer.read())", "{command_out}"]
[channels.log]
type = "file"
path = "alerts.jsonl"
[channels.down]
type = "webhook"
url_env = "DOWN_URL"
""")
    code, out, _ = run_cli(capsys, "fleet", "alerts", "test", "--config", config_file)
    assert code == 2 and out.splitlines()[:5] == [f"{name}: delivered" for name in ("hook", "chat", "mail", "pager",
                                                                                      "log")]
    assert out.splitlines()[5].startswith("down: failed: ") and "secret" not in out
    config = AlertConfig.load(config_file)
    commit_step(store, alerts.Alerting(store, config, "score"), 0, {'pump "7"\n': {"failed": True}}, deliver=True)
    key = tables.outbox(store)["key"].iloc[0]
    [hook] = [request for request in receiver.requests if request[0] == key]  # the chat takes no warning
    assert receiver.requests[1][2] == {"text": "algo-health: a test message; alerts will arrive here"}
    assert hook[1] == "Bearer hook-secret" and hook[2]["machine"] == 'pump "7"\n' and hook[2]["rule"] == "failing_input"
    mail = inbox.messages[-1]
    assert mail["Message-ID"] == f"<{key}@algo-health>" and mail["X-Idempotency-Key"] == key
    assert "\\n" in mail["Subject"] and "\n" not in mail["Subject"]  # the name's line break escaped
    assert json.loads(command_out.read_text())["key"] == key
    lines = [json.loads(line) for line in (tmp_path / "alerts.jsonl").read_text().splitlines()]
    assert [line["transition"] for line in lines] == ["test", "opened"]
    store.close()
    stored = (store.path / "fleet.duckdb").read_bytes()
    assert all(secret not in stored for secret in (b"hook-secret", b"mail-secret"))
    code, out, _ = run_cli(capsys, "fleet", "alerts", "send", "--store", store.path, "--config", config_file)
    assert code == 2 and "channel down: " in out and "secret" not in out


# --- the commands -------------------------------------------------------------------------------


def run_cli(capsys, *args):
    code = cli.main([str(a) for a in args])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def test_commands_list_acknowledge_and_check(store, tmp_path, capsys):
    config = AlertConfig.parse({"rules": only_rule("failing_input", runs=1)})
    commit_step(store, alerts.Alerting(store, config, "score"), 0, {"a\x1b[31m": {"failed": True}})
    path = store.path
    store.close()
    code, out, _ = run_cli(capsys, "fleet", "alerts", "--store", path, "--open")
    assert code == 0 and "a\\x1b[31m" in out and "\x1b" not in out and "open" in out.splitlines()[1]
    code, out, err = run_cli(capsys, "fleet", "ack", "a\x1b[31m", "--rule", "failing_input", "--note", "new cable",
                             "--by", "kim", "--store", path)
    assert code == 0 and out.startswith("1 open alert of a\\x1b[31m acknowledged")
    code, out, _ = run_cli(capsys, "fleet", "alerts", "--store", path, "--json")
    listed = json.loads(out)["alerts"]
    assert [(a["acknowledged_by"], a["note"], a["triggered"]["runs"]) for a in listed] == [("kim", "new cable", 1)]
    code, out, err = run_cli(capsys, "fleet", "ack", "b", "--store", path)
    assert code == 1 and "has no open alert" in err
    code, out, _ = run_cli(capsys, "fleet", "alerts", "check", "--store", path, "--json")
    assert code == 0 and json.loads(out)["alerts"]["opened"] == 0
    code, _, err = run_cli(capsys, "fleet", "alerts", "check")
    assert code == 1 and "needs --store" in err
