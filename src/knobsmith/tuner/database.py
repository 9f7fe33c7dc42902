"""A fleet's database as its workers reach it: its URL in messages without its secrets, and
calls to it that wait for it to come back when it cannot be reached for a while."""

from __future__ import annotations

import functools
import math
import re
import time
from collections.abc import Callable
from typing import Any
from urllib.parse import quote_plus

from knobsmith.tuner.failures import TuneError

FIRST_WAIT, LONGEST_WAIT = 0.5, 10.0  # seconds between tries to reach the database, doubled each time
SECRET_KEYS = "pass|pwd|secret|token|key|auth|cred"  # query keys of a URL whose values are hidden
HIDDEN = "***"
UNREAD_CREDENTIALS = re.compile(r"^([A-Za-z][\w+.-]*://)?(.*)@")  # of a URL SQLAlchemy cannot read


def _parsed(url: str) -> Any:
    """`url` as SQLAlchemy, which opens it, reads it; None when it cannot."""
    try:
        from sqlalchemy.engine import make_url

        return make_url(url)
    except Exception:
        return None


def _secret_key(key: str) -> bool:
    return re.search(SECRET_KEYS, key, re.IGNORECASE) is not None


def _secret_values(url: str) -> list[str]:
    """The values of the query keys of `url` that look secret, as written."""
    return re.findall(rf"[?&][^=&#]*(?:{SECRET_KEYS})[^=&#]*=([^&#]*)", url, flags=re.IGNORECASE)


def redacted(url: str) -> str:
    """A database URL without its password, whatever characters that holds, and without the
    values of query keys that look secret (?password=...): for messages and files."""
    parsed = _parsed(url)
    if parsed is None:  # all before its last "@" may be a password
        url = re.sub(UNREAD_CREDENTIALS, rf"\1{HIDDEN}@", url)
        for value in _secret_values(url):
            url = url.replace(f"={value}", f"={HIDDEN}")
        return url
    if "@" in (parsed.host or ""):  # "user:a@b@host" is read as the password a and the host b@host
        parsed = parsed.set(host=parsed.host.rpartition("@")[2])
    query = {key: HIDDEN if _secret_key(key) else value for key, value in parsed.query.items()}
    return str(parsed.set(query=query).render_as_string(hide_password=True)).replace(quote_plus(HIDDEN), HIDDEN)


def _secrets(url: str) -> set[str]:
    """The secrets of `url`, as written in it and as read from it."""
    found = set(_secret_values(url))
    parsed = _parsed(url)
    if parsed is None:
        credentials = match.group(2) if (match := re.match(UNREAD_CREDENTIALS, url)) else ""
        found.update((credentials, credentials.partition(":")[2]))
    else:
        found.update(re.findall(r"://[^:/@?#]*:(.*)@", url) if parsed.password is not None else ())
        found.add(parsed.password or "")
        found.add((parsed.host or "").rpartition("@")[0])
        found.update(value for key, values in parsed.query.items() if _secret_key(key)
                     for value in ((values,) if isinstance(values, str) else values))
    return {secret for secret in found if secret}


def hidden(text: str, url: str) -> str:
    """`text`, the words of an error about the database at `url`, with the URL redacted and no
    secret of it left."""
    text = text.replace(url, redacted(url))
    for secret in sorted(_secrets(url), key=len, reverse=True):
        pattern = re.escape(secret)
        if len(secret) < 4:  # only where it stands alone, so that the words around stay readable
            pattern = rf"(?<![A-Za-z0-9]){pattern}(?![A-Za-z0-9])"
        text = re.sub(pattern, HIDDEN, text)
    return text


def lost_connection(error: BaseException) -> BaseException | None:
    """The driver's own error when `error` comes of a database that cannot be reached or of a
    connection it dropped, found among its causes (Optuna wraps them in words of its own, about
    invalid data); None for any other error."""
    from sqlalchemy import exc

    seen = set()
    link: BaseException | None = error
    while link is not None and id(link) not in seen:
        seen.add(id(link))
        if isinstance(link, (exc.OperationalError, exc.InterfaceError)):
            return link.orig or link
        link = link.__cause__ or link.__context__
    return None


class Reconnecting:
    """The study's storage (Optuna's), whose every call is tried again, waiting longer each time,
    while the database cannot be reached (a restart, a network outage), for up to `seconds`: a
    trial measured meanwhile is told to the study once the database is back. Past that, the call
    fails with the driver's own words, and every later one at once."""

    def __init__(self, storage: Any, url: str, seconds: float, say: Callable[[str], None]) -> None:
        import optuna
        from optuna.storages._heartbeat import BaseHeartbeat

        optuna.storages.BaseStorage.register(Reconnecting)
        BaseHeartbeat.register(Reconnecting)
        self.storage = optuna.storages.get_storage(storage)
        self.url = url
        self.seconds = seconds
        self.say = say
        self.gave_up = False
        self.unreachable_at = -math.inf  # time.monotonic() of the last try that failed

    def unreachable(self) -> None:
        self.unreachable_at = time.monotonic()

    def __getattr__(self, name: str) -> Any:
        found = getattr(self.storage, name)
        return functools.partial(self._call, found) if callable(found) else found

    def _call(self, method: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        lost_at = None
        wait = FIRST_WAIT
        while True:
            try:
                done = method(*args, **kwargs)
            except Exception as error:
                cause = lost_connection(error)
                if cause is None or self.gave_up:
                    raise
                self.unreachable()
                why = hidden(first_line(cause), self.url)
                lost = 0.0 if lost_at is None else time.monotonic() - lost_at
                if lost >= self.seconds:
                    self.gave_up = True
                    raise TuneError(f"the study's database {redacted(self.url)} could not be reached for {lost:.0f} s "
                                    f"({why}): once it is back, the same command goes on with the study") from None
                if lost_at is None:
                    lost_at = time.monotonic()
                    self.say(f"the study's database cannot be reached ({why}); "
                             f"trying again for up to {self.seconds:g} s")
                time.sleep(min(wait, self.seconds - lost))
                wait = min(2 * wait, LONGEST_WAIT)
                continue
            if lost_at is not None:
                self.say(f"the study's database is back after {time.monotonic() - lost_at:.0f} s")
            return done


def stop_waiting(study: Any) -> None:
    """Every later call to the study's database is tried once: an interrupted run does not wait."""
    storage = study._storage
    if isinstance(storage, Reconnecting):
        storage.gave_up = True


def first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__
