"""Reading the Rufus tab id of a request, and closing a Chrome through its CDP connection."""

from __future__ import annotations

import json
from types import SimpleNamespace

import pytest

import tervik.amazon_rufus.services.browser as browser
from tervik.amazon_rufus.services.browser import BrowserAttachService

STREAM = "https://www.amazon.com/rufus/cl/streaming"


@pytest.mark.parametrize(
    ("url", "body", "tab_id"),
    [
        # The URL wins, as it stands: no decoding, no trimming, cut only at "&".
        (STREAM + "?a=1&tabId=abc&b=2", '{"tabId": "body"}', "abc"),
        (STREAM + "?tabId=", '{"tabId": "body"}', ""),
        (STREAM + "?tabId=a&tabId=b", "[]", "a"),
        (STREAM + "?xtabId=7", "{}", "7"),
        (STREAM + "?tabId=a%2Fb", "{}", "a%2Fb"),
        (STREAM + "?tabId= a#top", "{}", " a#top"),
        # Otherwise the body's top-level keys.
        (STREAM + "?TabId=5", '{"tabId": "t1"}', "t1"),
        (STREAM, '{"tabId": "", "tab_id": "t2"}', "t2"),
        (STREAM, '{"tabId": 0, "tab_id": 5}', "5"),
        (STREAM, '{"tabId": true}', "True"),
        (STREAM, '{"tabId": 1.5}', "1.5"),
        (STREAM, '{"tabId": [1, "a"]}', "[1, 'a']"),
        (STREAM, '{"tab_id": null}', ""),
        (STREAM, '{"tabId": false, "tab_id": {}}', ""),
        (STREAM, '{"nested": {"tabId": "deep"}}', ""),
        (STREAM, "", ""),
        (STREAM, "what is this made of?", ""),
    ],
)
def test_extract_tab_id(url: str, body: str, tab_id: str) -> None:
    assert BrowserAttachService()._extract_tab_id(url, body) == tab_id


@pytest.mark.parametrize("body", ["[]", '[{"tabId": "x"}]', '"text"', "42", "null"])
def test_a_json_body_that_is_no_object_raises_attribute_error(body: str) -> None:
    with pytest.raises(AttributeError):
        BrowserAttachService()._extract_tab_id(STREAM, body)


def test_body_is_parsed_with_the_module_json(monkeypatch: pytest.MonkeyPatch) -> None:
    def loads(text: str) -> object:
        if text == "boom":
            raise ValueError("not a decode error")
        return {"tabId": "patched"}

    monkeypatch.setattr(
        browser, "json", SimpleNamespace(loads=loads, JSONDecodeError=json.JSONDecodeError)
    )
    assert BrowserAttachService()._extract_tab_id(STREAM, "{}") == "patched"
    with pytest.raises(ValueError, match="not a decode error"):
        BrowserAttachService()._extract_tab_id(STREAM, "boom")


class FakeBrowser:
    """Logs its calls; each step fails with the error given for it."""

    def __init__(self, session=None, send=None, close="method", closing=None) -> None:
        self.log: list[str] = []
        self.errors = {"session": session, "send": send, "closing": closing}
        self._close = close

    def _step(self, name: str) -> None:
        self.log.append(name)
        if self.errors[name] is not None:
            raise self.errors[name]

    def new_browser_cdp_session(self) -> SimpleNamespace:
        self._step("session")
        return SimpleNamespace(send=lambda method: self._step("send") or self.log.append(method))

    def __getattr__(self, name: str) -> object:
        if name != "close":
            raise AttributeError(name)
        self.log.append("read close")
        if isinstance(self._close, BaseException):
            raise self._close
        return (lambda: self._step("closing")) if self._close == "method" else self._close


@pytest.mark.parametrize(
    ("fake", "log"),
    [
        (FakeBrowser(), ["session", "send", "Browser.close"]),
        (FakeBrowser(session=RuntimeError()), ["session", "read close", "closing"]),
        (FakeBrowser(send=ConnectionError()), ["session", "send", "read close", "closing"]),
        (FakeBrowser(send=OSError(), close="not callable"), ["session", "send", "read close"]),
        (FakeBrowser(session=OSError(), close=AttributeError("close")), ["session", "read close"]),
    ],
    ids=["cdp", "session-fails", "send-fails", "close-not-callable", "no-close"],
)
def test_close_new_chrome(fake: FakeBrowser, log: list[str]) -> None:
    assert BrowserAttachService()._close_new_chrome(fake) is None
    assert fake.log == log


def test_close_of_an_object_without_either_method_does_nothing() -> None:
    assert BrowserAttachService()._close_new_chrome(object()) is None


@pytest.mark.parametrize(
    "fake",
    [
        FakeBrowser(send=ConnectionError(), closing=OSError("close failed")),
        FakeBrowser(session=ConnectionError(), close=OSError("close failed")),
    ],
    ids=["close-raises", "reading-close-raises"],
)
def test_fallback_errors_carry_the_cdp_error_as_context(fake: FakeBrowser) -> None:
    with pytest.raises(OSError, match="close failed") as caught:
        BrowserAttachService()._close_new_chrome(fake)
    assert type(caught.value.__context__) is ConnectionError and caught.value.__cause__ is None


def test_errors_outside_exception_skip_the_fallback() -> None:
    fake = FakeBrowser(send=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        BrowserAttachService()._close_new_chrome(fake)
    assert fake.log == ["session", "send"]
