"""The alert configuration: one TOML file of rules, channels and delivery, checked whole before any data is read.

Every problem is one line that names the key (`channels.ops.url_env: ...`).
Secrets are never written in the file: a channel names the environment
variables that hold them (`url_env`, `token_env`, `password_env`), and they
are read when a notification is sent, so they reach no store, log or page.
A machine's manifest row may change any rule setting for that machine
(`signal.days=20; silent=off`), checked by the same rules as the file.
"""

from __future__ import annotations

import fnmatch
import math
import os
import tomllib
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field, replace
from pathlib import Path

import pandas as pd

from algo.errors import CheckError

SEVERITIES = ("info", "warning", "critical")
CLOCKS = ("data", "wall")
# The file a store folder keeps its alert configuration in, used when a run is given none.
STORE_FILE = "alerts.toml"


class AlertConfigError(CheckError):
    """An alert configuration, or a machine's rule settings, that cannot be used as written."""

    stage = "alerts"


# --- values ----------------------------------------------------------------------------


def _boolean(value) -> bool:
    words = {"true": True, "on": True, "yes": True, "false": False, "off": False, "no": False}
    if isinstance(value, bool):
        return value
    if isinstance(value, str) and value.strip().lower() in words:
        return words[value.strip().lower()]
    raise ValueError("expected true or false")


def _number(minimum: float, whole: bool = False) -> Callable:
    expected = f"expected a {'whole ' if whole else ''}number of at least {minimum:g}"

    def parse(value):
        try:
            number = float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) \
                else float(str(value).strip()) if isinstance(value, str) else math.nan
        except ValueError:
            number = math.nan
        if not math.isfinite(number) or number < minimum or (whole and number != int(number)):
            raise ValueError(expected)
        return int(number) if whole else number

    return parse


def _duration(value) -> pd.Timedelta:
    """A duration such as "1h", "30min", "2D" or "0"; a number is seconds."""
    try:
        span = pd.Timedelta(seconds=value) if isinstance(value, (int, float)) and not isinstance(value, bool) \
            else pd.Timedelta(str(value).strip())
    except ValueError:
        span = pd.NaT
    if pd.isna(span) or span < pd.Timedelta(0):
        raise ValueError("expected a duration such as 1h, 30min or 2D")
    return span


def _word(choices: tuple[str, ...]) -> Callable:
    def parse(value):
        if not isinstance(value, str) or value.strip().lower() not in choices:
            raise ValueError(f"expected one of {', '.join(choices)}")
        return value.strip().lower()

    return parse


def _text(value) -> str:
    if not isinstance(value, str) or not value.strip():
        raise ValueError("expected a non-empty text")
    return value


def _texts(value) -> tuple[str, ...]:
    if isinstance(value, str):
        value = [value]
    if not isinstance(value, list) or not value or not all(isinstance(v, str) and v.strip() for v in value):
        raise ValueError("expected a list of non-empty texts")
    return tuple(value)


def _severities(value) -> tuple[str, ...]:
    return tuple(_word(SEVERITIES)(v) for v in _texts(value))


# --- rules -------------------------------------------------------------------------------

# Each rule's own settings: parser and default. Every rule also has `enabled`, `severity` and `hold`.
RULE_SETTINGS: dict[str, dict[str, tuple[Callable, object]]] = {
    "signal": {"days": (_number(0), 30.0)},
    "failure_mode": {},
    "iso": {},
    "streak": {"scores": (_number(1, whole=True), 3)},
    "silent": {"after": (_duration, None), "factor": (_number(1), 2.0), "clock": (_word(CLOCKS), "data")},
    "failing_input": {"runs": (_number(1, whole=True), 2)},
}
DEFAULT_SEVERITY = {"signal": "critical", "failure_mode": "critical", "iso": "critical", "streak": "warning",
                    "silent": "warning", "failing_input": "warning"}
COMMON_SETTINGS: dict[str, tuple[Callable, object]] = {
    "enabled": (_boolean, True), "severity": (_word(SEVERITIES), None), "hold": (_duration, pd.Timedelta("1h"))}


@dataclass(frozen=True)
class Rule:
    """One rule's settings: switched on or off, the severity it raises, how long its condition must be gone
    before its alert clears, and its own settings (`days`, `scores`, ...)."""

    name: str
    enabled: bool
    severity: str
    hold: pd.Timedelta
    options: Mapping[str, object]

    def __getitem__(self, key: str):
        return self.options[key]

    def lower_severity(self) -> str:
        """What a yellow light raises: one severity below the rule's (which a red one raises)."""
        return SEVERITIES[max(0, SEVERITIES.index(self.severity) - 1)]

    def changed(self, given: Mapping, where: str) -> Rule:
        """The rule with the settings `given` (from a file or a manifest row) checked and applied."""
        known = {**COMMON_SETTINGS, **RULE_SETTINGS[self.name]}
        values = {"enabled": self.enabled, "severity": self.severity, "hold": self.hold, **self.options}
        for key, value in given.items():
            if key not in known:
                raise AlertConfigError(f"{where}.{key}: unknown setting; expected any of {', '.join(known)}")
            values[key] = _checked(known[key][0], value, f"{where}.{key}")
        common = {key: values.pop(key) for key in COMMON_SETTINGS}
        return replace(self, **common, options=values)


def default_rules() -> dict[str, Rule]:
    return {name: Rule(name, True, DEFAULT_SEVERITY[name], COMMON_SETTINGS["hold"][1],
                       {key: default for key, (_, default) in settings.items()})
            for name, settings in RULE_SETTINGS.items()}


def _checked(parse: Callable, value, where: str):
    try:
        return parse(value)
    except (ValueError, TypeError) as error:
        raise AlertConfigError(f"{where}: {error} (got {value!r})") from None


def _changed_rules(rules: dict[str, Rule], given, where: str) -> dict[str, Rule]:
    if not isinstance(given, Mapping):
        raise AlertConfigError(f"{where}: expected a table of rules")
    rules = dict(rules)
    for name, settings in given.items():
        if name not in rules:
            raise AlertConfigError(f"{where}.{name}: unknown rule; expected any of {', '.join(rules)}")
        if isinstance(settings, (bool, str)):  # `silent = false`, or "off" in a manifest
            settings = {"enabled": settings}
        if not isinstance(settings, Mapping):
            raise AlertConfigError(f"{where}.{name}: expected a table of settings, or true / false")
        rules[name] = rules[name].changed(settings, f"{where}.{name}")
    return rules


def machine_settings(value, where: str = "alerts") -> dict | None:
    """A manifest's `alerts` cell as rule settings, checked: text such as "signal.days=20; silent=off", or
    (in a JSON manifest) an object {"signal": {"days": 20}, "silent": false}."""
    if value is None:
        return None
    if isinstance(value, str):
        value = _settings_text(value, where)
    _changed_rules(default_rules(), value, where)
    return value


def _settings_text(text: str, where: str) -> dict:
    settings: dict = {}
    for part in filter(None, (p.strip() for p in text.split(";"))):
        name, equals, value = part.partition("=")
        rule, dot, key = name.strip().partition(".")
        if not equals or not rule or (dot and not key):
            raise AlertConfigError(f"{where}: {part!r}: expected rule.setting=value or rule=on/off")
        settings.setdefault(rule, {})[key.strip() if dot else "enabled"] = value.strip()
    return settings


# --- channels ----------------------------------------------------------------------------

# Each kind's settings: parser, and the default (REQUIRED where there is none).
REQUIRED = object()
SECRET_SUFFIX = "_env"
ROUTING = {"severities": (_severities, SEVERITIES), "machines": (_texts, ("*",))}
CHANNEL_SETTINGS: dict[str, dict[str, tuple[Callable, object]]] = {
    "webhook": {"url": (_text, None), "url_env": (_text, None), "token_env": (_text, None),
                "format": (_word(("json", "text")), "json"), "timeout": (_number(0.1), 5.0)},
    "email": {"host": (_text, REQUIRED), "port": (_number(1, whole=True), 587), "starttls": (_boolean, True),
              "username": (_text, None), "password_env": (_text, None), "from": (_text, REQUIRED),
              "to": (_texts, REQUIRED), "cafile": (_text, None), "timeout": (_number(0.1), 10.0)},
    "command": {"command": (_texts, REQUIRED), "timeout": (_number(0.1), 10.0)},
    "file": {"path": (_text, REQUIRED)},
}


@dataclass(frozen=True)
class Channel:
    """Where notifications go: a kind ("webhook", "email", "command", "file"), its settings, and which
    severities and machines (name patterns such as "pump-*") it takes."""

    name: str
    kind: str
    settings: Mapping[str, object]
    severities: tuple[str, ...] = SEVERITIES
    machines: tuple[str, ...] = ("*",)

    def __getitem__(self, key: str):
        return self.settings[key]

    def takes(self, severity: str, machine: str) -> bool:
        return severity in self.severities and any(fnmatch.fnmatchcase(machine, p) for p in self.machines)

    def secret(self, key: str) -> str | None:
        """The value of the environment variable that the setting `key` (e.g. "password_env") names."""
        variable = self.settings.get(key)
        return None if variable is None else os.environ.get(variable)

    def secrets(self) -> list[str]:
        """Every secret the channel uses, so that no error text repeats one."""
        values = [self.secret(key) for key in self.settings if key.endswith(SECRET_SUFFIX)]
        return [value for value in values if value]


def _channel(name: str, given, folder: Path) -> Channel:
    where = f"channels.{name}"
    if not isinstance(given, Mapping):
        raise AlertConfigError(f"{where}: expected a table with a type and its settings")
    kind = _checked(_word(tuple(CHANNEL_SETTINGS)), given.get("type"), f"{where}.type")
    known = {**CHANNEL_SETTINGS[kind], **ROUTING}
    for key in given:
        if key != "type" and key not in known:
            raise AlertConfigError(f"{where}.{key}: unknown setting of a {kind} channel; expected any of "
                                   f"{', '.join(known)}")
    values = {}
    for key, (parse, default) in known.items():
        if key in given:
            values[key] = _checked(parse, given[key], f"{where}.{key}")
        elif default is REQUIRED:
            raise AlertConfigError(f"{where}.{key}: missing; a {kind} channel needs it")
        else:
            values[key] = default
    _check_channel(where, kind, values, folder)
    routing = {key: values.pop(key) for key in ROUTING}
    return Channel(name, kind, values, **routing)


def _check_channel(where: str, kind: str, values: dict, folder: Path) -> None:
    if kind == "webhook" and (values["url"] is None) == (values["url_env"] is None):
        raise AlertConfigError(f"{where}: give url or url_env (the environment variable that holds the URL), "
                               "one of them")
    if kind == "webhook" and values["url"] is not None and not values["url"].startswith(("http://", "https://")):
        raise AlertConfigError(f"{where}.url: expected an http:// or https:// URL")
    if kind == "email" and (values["username"] is None) != (values["password_env"] is None):
        raise AlertConfigError(f"{where}: a login needs both username and password_env")
    if kind == "file":
        values["path"] = str(folder / values["path"])  # relative to the configuration file
    for key, variable in values.items():
        if key.endswith(SECRET_SUFFIX) and variable is not None and not os.environ.get(variable):
            raise AlertConfigError(f"{where}.{key}: the environment variable {variable} is not set")


# --- delivery ------------------------------------------------------------------------


@dataclass(frozen=True)
class Delivery:
    """How hard a run tries: its time budget for sending, the retries of a failed send and the first wait."""

    budget: pd.Timedelta = pd.Timedelta("10s")
    retries: int = 2
    backoff: pd.Timedelta = pd.Timedelta("0.5s")


DELIVERY_SETTINGS = {"budget": _duration, "retries": _number(0, whole=True), "backoff": _duration}


def _delivery(given) -> Delivery:
    if not isinstance(given, Mapping):
        raise AlertConfigError("delivery: expected a table")
    values = {}
    for key, value in given.items():
        if key not in DELIVERY_SETTINGS:
            raise AlertConfigError(f"delivery.{key}: unknown setting; expected any of {', '.join(DELIVERY_SETTINGS)}")
        values[key] = _checked(DELIVERY_SETTINGS[key], value, f"delivery.{key}")
    return Delivery(**values)


# --- the file ------------------------------------------------------------------------


@dataclass(frozen=True)
class AlertConfig:
    rules: Mapping[str, Rule] = field(default_factory=default_rules)
    channels: tuple[Channel, ...] = ()
    delivery: Delivery = Delivery()
    source: str | None = None

    @classmethod
    def load(cls, path: str | Path) -> AlertConfig:
        path = Path(path)
        try:
            document = tomllib.loads(path.read_text(encoding="utf-8"))
        except OSError as error:
            raise AlertConfigError(f"cannot read the alert configuration {path}: {error.strerror}") from None
        except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
            raise AlertConfigError(f"{path}: not valid TOML: {error}") from None
        try:
            return cls.parse(document, path.parent, str(path))
        except AlertConfigError as error:
            raise AlertConfigError(f"{path}: {error.problem}", error.remedy) from None

    @classmethod
    def parse(cls, document: Mapping, folder: Path = Path("."), source: str | None = None) -> AlertConfig:
        unknown = [key for key in document if key not in ("rules", "channels", "delivery")]
        if unknown:
            raise AlertConfigError(f"{unknown[0]}: unknown section; expected rules, channels and delivery")
        channels = document.get("channels", {})
        if not isinstance(channels, Mapping):
            raise AlertConfigError("channels: expected a table of channels, [channels.<name>]")
        return cls(rules=_changed_rules(default_rules(), document.get("rules", {}), "rules"),
                   channels=tuple(_channel(name, given, folder) for name, given in channels.items()),
                   delivery=_delivery(document.get("delivery", {})), source=source)

    def rules_of(self, machine_settings: Mapping | None) -> dict[str, Rule]:
        """The rules as they apply to a machine whose manifest row gave `machine_settings`."""
        if not machine_settings:
            return dict(self.rules)
        return _changed_rules(dict(self.rules), machine_settings, "alerts")

    def channel(self, name: str) -> Channel | None:
        return next((channel for channel in self.channels if channel.name == name), None)


def for_store(store: str | Path, given: AlertConfig | str | Path | None) -> AlertConfig:
    """The configuration a run uses: the one given, else the store folder's alerts.toml, else the defaults
    (alerts are kept in the store, and sent nowhere)."""
    if isinstance(given, AlertConfig):
        return given
    if given is not None:
        return AlertConfig.load(given)
    kept = Path(store) / STORE_FILE
    return AlertConfig.load(kept) if kept.is_file() else AlertConfig()
