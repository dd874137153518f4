"""Solver registration certificates."""

from __future__ import annotations

import hashlib
import hmac
import json
import os
import stat

import pytest

from orvane_platform.core import solver_certs
from orvane_platform.core.solver_certs import _load_or_create_secret, sign_solver_cert, verify_solver_cert


@pytest.fixture
def key_path(isolated_home):
    return isolated_home / ".signing-secret"


def test_module_constants():
    assert solver_certs._SIGNING_SECRET_LENGTH == 32
    assert solver_certs._SIGNING_SECRET_PATH.name == ".signing-secret"


def test_key_is_created_once_private_and_whole(key_path):
    key = _load_or_create_secret()
    assert len(key) == 32 and key_path.read_bytes() == key
    assert stat.S_IMODE(key_path.stat().st_mode) == 0o600
    assert os.listdir(key_path.parent) == [".signing-secret"]  # no .tmp left
    assert _load_or_create_secret() == key


def test_existing_key_of_another_length_is_used_unchanged(key_path):
    key_path.parent.mkdir(parents=True)
    key_path.write_bytes(b"short")
    key_path.chmod(0o644)
    assert _load_or_create_secret() == b"short"
    assert stat.S_IMODE(key_path.stat().st_mode) == 0o644


def test_a_key_that_cannot_be_put_in_place_leaves_nothing_behind(key_path):
    key_path.mkdir(parents=True)  # a folder where the key should go
    with pytest.raises(OSError):
        _load_or_create_secret()
    assert sorted(path.name for path in key_path.parent.iterdir()) == [".signing-secret"]


def test_temporary_files_of_dead_writers_are_removed_and_live_ones_kept(key_path):
    key_path.parent.mkdir(parents=True)
    dead = key_path.parent / ".signing-secret.999999999-1.tmp"  # beyond any pid
    live = key_path.parent / f".signing-secret.{os.getppid()}-1.tmp"
    for temporary in (dead, live):
        temporary.write_bytes(b"someone else's")
    key = _load_or_create_secret()
    assert key_path.read_bytes() == key and len(key) == 32
    assert not dead.exists() and live.read_bytes() == b"someone else's"


def test_the_temporary_of_an_interrupted_creation_by_an_earlier_version_is_removed(key_path):
    key_path.parent.mkdir(parents=True)
    earlier = key_path.parent / ".signing-secret.tmp"  # the name earlier versions wrote the key through
    earlier.write_bytes(b"half a k")
    live = key_path.parent / f".signing-secret.{os.getppid()}-1.tmp"
    live.write_bytes(b"someone else's")
    key = _load_or_create_secret()
    assert key_path.read_bytes() == key and len(key) == 32
    assert sorted(os.listdir(key_path.parent)) == sorted([".signing-secret", live.name])


def test_signature_matches_the_host_modules(monkeypatch, key_path):
    monkeypatch.setattr("time.time", lambda: 1700000000.9)
    cert = sign_solver_cert("aero", "registry.example/aero:1", "sha256:ab", {"products": ["sedan"], "é": 1})
    assert list(cert) == ["payload", "signature", "scheme"]
    payload = {
        "alias": "aero",
        "image": "registry.example/aero:1",
        "image_digest": "sha256:ab",
        "registered_at": 1700000000,
        "scope": {"products": ["sedan"], "é": 1},
    }
    assert cert["payload"] == json.dumps(payload, sort_keys=True, separators=(",", ":"))
    expected = hmac.new(key_path.read_bytes(), cert["payload"].encode(), hashlib.sha256).hexdigest()
    assert cert["signature"] == expected and cert["scheme"] == "hmac-sha256"


@pytest.mark.parametrize("scope", [None, {}])
def test_empty_scope_signs_an_empty_object(scope):
    assert '"scope":{}' in sign_solver_cert("a", "i", "d", scope)["payload"]


def test_certificates_differ_across_seconds(monkeypatch):
    monkeypatch.setattr("time.time", lambda: 100.0)
    first = sign_solver_cert("a", "i", "d")
    monkeypatch.setattr("time.time", lambda: 101.0)
    second = sign_solver_cert("a", "i", "d")
    assert first["payload"] != second["payload"] and first["signature"] != second["signature"]


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (("a", "i", None), "argument 'image_digest' must be str"),
        ((1, "i", "d"), "argument 'alias' must be str"),
        (("a", "i", "d", []), "argument 'scope' must be dict or None"),
    ],
)
def test_sign_argument_types(arguments, message):
    with pytest.raises(TypeError, match=message):
        sign_solver_cert(*arguments)


@pytest.mark.parametrize("cert", ["absent", None, {}, "a string", ["payload"]])
def test_missing_certificates(cert):
    record = {"alias": "a"} if cert == "absent" else {"alias": "a", "cert": cert}
    assert verify_solver_cert(record) == "missing"


def tampered(cert, **changes):
    return {"alias": "a", "cert": {**cert, **changes}}


def test_verification_branches():
    cert = sign_solver_cert("a", "img", "sha256:1")
    assert verify_solver_cert({"alias": "a", "cert": cert}) == "verified"
    assert verify_solver_cert({"alias": "b", "cert": cert}) == "unverified"
    assert verify_solver_cert({"cert": cert}) == "unverified"
    for changes in [
        {"scheme": "hmac-sha1"},
        {"scheme": ""},
        {"payload": ""},
        {"signature": ""},
        {"payload": cert["payload"].replace('"img"', '"imh"')},
        {"signature": cert["signature"][:-1] + ("0" if cert["signature"][-1] != "0" else "1")},
        {"payload": 5},
    ]:
        assert verify_solver_cert(tampered(cert, **changes)) == "unverified", changes
    no_scheme = {k: v for k, v in cert.items() if k != "scheme"}
    assert verify_solver_cert({"alias": "a", "cert": no_scheme}) == "unverified"


def test_valid_signature_over_text_that_is_not_json():
    payload = "not json"
    signature = hmac.new(_load_or_create_secret(), payload.encode(), hashlib.sha256).hexdigest()
    assert (
        verify_solver_cert(
            {"alias": "a", "cert": {"payload": payload, "signature": signature, "scheme": "hmac-sha256"}}
        )
        == "unverified"
    )
    listed = "[1, 2]"
    signature = hmac.new(_load_or_create_secret(), listed.encode(), hashlib.sha256).hexdigest()
    with pytest.raises(AttributeError):
        verify_solver_cert({"alias": "a", "cert": {"payload": listed, "signature": signature, "scheme": "hmac-sha256"}})


@pytest.mark.parametrize("signature", ["é" * 64, b"x" * 64])
def test_signature_types_follow_compare_digest(signature):
    cert = sign_solver_cert("a", "img", "d") | {"signature": signature}
    with pytest.raises(TypeError):
        verify_solver_cert({"alias": "a", "cert": cert})


def test_a_new_key_invalidates_old_certificates(key_path):
    cert = sign_solver_cert("a", "img", "d")
    key_path.unlink()
    assert verify_solver_cert({"alias": "a", "cert": cert}) == "unverified"
    assert key_path.exists()


def test_unusable_key_folder_reads_unverified_but_signing_raises(key_path):
    cert = sign_solver_cert("a", "img", "d")
    key_path.unlink()
    key_path.parent.rmdir()
    key_path.parent.write_text("a file where the home folder should be")
    assert verify_solver_cert({"alias": "a", "cert": cert}) == "unverified"
    with pytest.raises(OSError):
        sign_solver_cert("a", "img", "d")


def test_verify_takes_a_dict():
    with pytest.raises(TypeError, match="argument 'record' must be dict"):
        verify_solver_cert([("alias", "a")])


@pytest.mark.parametrize(
    ("record", "status"),
    [
        ({"image": "img", "image_digest": "sha256:1"}, "verified"),
        ({}, "verified"),
        ({"image": "evil/other:6"}, "unverified"),
        ({"image": "img", "image_digest": "sha256:2"}, "unverified"),
        ({"image_digest": None}, "unverified"),
    ],
)
def test_an_image_edited_into_the_record_is_not_vouched_for(record, status):
    cert = sign_solver_cert("a", "img", "sha256:1")
    assert verify_solver_cert({"alias": "a", "cert": cert, **record}) == status
