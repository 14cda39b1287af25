"""Sending one notification to one channel: a webhook, e-mail over SMTP, a command, a JSON-lines file.

A send either returns (the receiver took it) or raises `DeliveryError` with
one line that says why, never with a secret in it. Every channel carries the
notification's idempotency key where its receiver can see it: the JSON
document's "key", a webhook's `Idempotency-Key` header, an e-mail's
`Message-ID` and `X-Idempotency-Key`.
"""

from __future__ import annotations

import json
import os
import smtplib
import socket
import ssl
import subprocess
import urllib.error
import urllib.request
from collections.abc import Callable
from email.message import EmailMessage
from pathlib import Path

from algo.alerts.config import Channel
from algo.errors import AlgoHealthError
from algo.results import printable


class DeliveryError(AlgoHealthError):
    """A receiver that did not take a notification: down, too slow, refusing, or answering an error."""

    stage = "delivery"


def text_of(notification: dict) -> str:
    """A notification as one line for people (a chat message, an e-mail's subject)."""
    if notification.get("test"):
        return "algo-health: a test message; alerts will arrive here"
    label = "CLEARED" if notification["transition"] == "cleared" else notification["severity"].upper()
    return printable(f"[{label}] {notification['machine']}: {notification['rule']} {notification['transition']} "
                     f"- {notification['summary']}")


def send(channel: Channel, notification: dict, timeout: float) -> None:
    """Sends the notification, or raises DeliveryError; `timeout` bounds the wait for the receiver (seconds)."""
    try:
        SENDERS[channel.kind](channel, notification, min(timeout, channel.settings.get("timeout", timeout)))
    except DeliveryError as error:
        raise DeliveryError(_redacted(error.problem, channel)) from None
    except (OSError, smtplib.SMTPException, subprocess.SubprocessError, ValueError) as error:
        raise DeliveryError(_redacted(_reason(error), channel)) from None


def _reason(error: Exception) -> str:
    if isinstance(error, (socket.timeout, TimeoutError, subprocess.TimeoutExpired)):
        return "timed out"
    if isinstance(error, urllib.error.URLError) and not isinstance(error, urllib.error.HTTPError):
        return _reason(error.reason) if isinstance(error.reason, Exception) else str(error.reason)
    if isinstance(error, smtplib.SMTPResponseException):
        return f"SMTP {error.smtp_code}: {printable(error.smtp_error.decode('utf-8', 'replace'))}"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return f"{type(error).__name__}: {error}"


def _redacted(text: str, channel: Channel) -> str:
    for secret in channel.secrets():
        text = text.replace(secret, "***")
    return text


# --- the channels ------------------------------------------------------------------------


def _webhook(channel: Channel, notification: dict, timeout: float) -> None:
    document = notification if channel["format"] == "json" else {"text": text_of(notification)}
    headers = {"Content-Type": "application/json", "Idempotency-Key": notification["key"],
               "User-Agent": "algo-health"}
    token = channel.secret("token_env")
    if token:
        headers["Authorization"] = f"Bearer {token}"
    url = channel["url"] or channel.secret("url_env")
    request = urllib.request.Request(url, json.dumps(document, ensure_ascii=False).encode(), headers, method="POST")
    try:
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            answer.read()
    except urllib.error.HTTPError as error:
        raise DeliveryError(f"HTTP {error.code} {printable(error.reason)}") from None


def _email(channel: Channel, notification: dict, timeout: float) -> None:
    message = EmailMessage()
    message["Subject"] = text_of(notification)[:200]
    message["From"] = channel["from"]
    message["To"] = ", ".join(channel["to"])
    # The same Message-ID for every send of a notification, so that a mail system can drop a repeat.
    message["Message-ID"] = f"<{notification['key']}@algo-health>"
    message["X-Idempotency-Key"] = notification["key"]
    message.set_content(f"{text_of(notification)}\n\n{json.dumps(notification, indent=2, ensure_ascii=False)}\n")
    with smtplib.SMTP(channel["host"], channel["port"], timeout=timeout) as smtp:
        if channel["starttls"]:
            smtp.starttls(context=ssl.create_default_context(cafile=channel["cafile"]))
        if channel["username"]:
            smtp.login(channel["username"], channel.secret("password_env"))
        smtp.send_message(message)


def _command(channel: Channel, notification: dict, timeout: float) -> None:
    done = subprocess.run(list(channel["command"]), input=json.dumps(notification, ensure_ascii=False).encode(),
                          capture_output=True, timeout=timeout)
    if done.returncode != 0:
        said = done.stderr.decode("utf-8", "replace").strip().splitlines()
        raise DeliveryError(f"{channel['command'][0]} exited with {done.returncode}"
                            + (f": {printable(said[-1])}" if said else ""))


def _file(channel: Channel, notification: dict, timeout: float) -> None:
    path = Path(channel["path"])
    path.parent.mkdir(parents=True, exist_ok=True)
    line = json.dumps(notification, ensure_ascii=False) + "\n"
    # One write of a whole line to a file opened for appending: a reader never sees half a notification.
    descriptor = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(descriptor, line.encode())
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


SENDERS: dict[str, Callable[[Channel, dict, float], None]] = {
    "webhook": _webhook, "email": _email, "command": _command, "file": _file}
