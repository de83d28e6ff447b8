"""The command line's JSON conversion, run as a subprocess: plain JSON by default (a JSON Schema
metaschema's "$" keys are ordinary keys), the reversible typed form under --typed on both
commands, what plain JSON cannot hold refused by name and place, integers past the interpreter's
4,300-digit limit both ways, numbers no float holds refused, deep documents with a bignum
inside, and CBOR sequences with --sequence."""
import io
import json
import math
import subprocess
import sys

import pytest

from quorvane_core import cbor

UNDEFINED = cbor.undefined


def run(*args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "quorvane", *map(str, args)], input=stdin,
                          capture_output=True, timeout=300)


def ok(done):
    assert done.returncode == 0, done.stderr.decode()
    assert done.stderr == b""
    return done.stdout


def fails(done, status=1):
    """The one line of a failure (a usage message's last line for status 2)."""
    assert done.returncode == status, (done.stdout, done.stderr)
    assert done.stdout == b""
    lines = done.stderr.decode().splitlines()
    assert status == 2 or len(lines) == 1, lines
    assert "Traceback" not in done.stderr.decode()
    return lines[-1]


METASCHEMA = {
    "$schema": "https://json-schema.org/draft/2020-12/schema",
    "$id": "https://example.org/record.schema.json",
    "$comment": "keys that start with $ are plain JSON",
    "$defs": {"positive": {"type": "integer", "exclusiveMinimum": 0}},
    "type": "object",
    "properties": {"n": {"$ref": "#/$defs/positive"}, "$bytes": {"type": "string"},
                   "$map": {"$dynamicRef": "#meta"}},
    "required": ["n"],
}


def test_plain_json_converts_as_plain_json():
    text = json.dumps(METASCHEMA).encode()
    data = ok(run("json-to-cbor", "-", stdin=text))
    assert data == cbor.encode(METASCHEMA)
    assert cbor.loads(data) == METASCHEMA
    back = ok(run("cbor-to-json", "-", stdin=data))
    assert back == json.dumps(METASCHEMA, separators=(",", ":")).encode() + b"\n"
    assert json.loads(ok(run("cbor-to-json", "--pretty", "-", stdin=data))) == METASCHEMA


def test_typed_form_is_asked_for_and_agrees_both_ways():
    text = json.dumps(METASCHEMA).encode()
    line = fails(run("json-to-cbor", "--typed", "-", stdin=text))
    assert line == ('quorvane: error: <stdin>: unknown form {$comment, $defs, $id, $schema, properties, '
                    'required, type}: with --typed, an object with a key starting with "$" must be one of '
                    '$bytes, $tag/$value, $simple, $float, $map (plain JSON needs no --typed)')
    # Plain maps whose keys start with "$" are a "$map" in the typed form, and come back.
    data = cbor.encode(METASCHEMA)
    typed = ok(run("cbor-to-json", "--typed", "-", stdin=data))
    assert b'"$map"' in typed
    assert ok(run("json-to-cbor", "--typed", "-", stdin=typed)) == data
    value = {"raw": b"\x00\xff", 1: [math.nan, -math.inf], "t": cbor.Tag(1, 0), "u": UNDEFINED,
             "s": cbor.Simple(16), "big": -(2**200)}
    data = cbor.encode(value)
    typed = ok(run("cbor-to-json", "--typed", "-", stdin=data))
    again = ok(run("json-to-cbor", "--typed", "-", stdin=typed))
    assert again == data


# CBOR that plain JSON cannot hold: the value, and the message's words (what, where).
NO_PLAIN_FORM = [
    ({"a": [1, {"b": b"xy"}]}, "a byte string at /a/1/b"),
    ([cbor.Tag(1, 0)], "tag 1 at /0"),
    (cbor.Tag(0, "2020-01-01T00:00:00Z"), "tag 0 at the top"),
    ({"s": cbor.Simple(99)}, "simple value 99 at /s"),
    ({"x/y~z": UNDEFINED}, "undefined at /x~1y~0z"),
    ([0.5, math.nan], "NaN at /1"),
    ({"k": [math.inf]}, "Infinity at /k/0"),
    ([-math.inf], "-Infinity at /0"),
    ({"m": {1: "one"}}, "a map with a key that is not text at /m"),
    ({"m": {b"k": "one"}}, "a map with a key that is not text at /m"),
]


@pytest.mark.parametrize("value, words", NO_PLAIN_FORM, ids=[w for _, w in NO_PLAIN_FORM])
def test_plain_cbor_to_json_names_what_json_cannot_hold(tmp_path, value, words):
    data = cbor.encode(value)
    line = fails(run("cbor-to-json", "-", stdin=data))
    assert line == f"quorvane: error: <stdin>: {words} has no plain JSON form (--typed writes the typed form)"
    (tmp_path / "v.cbor").write_bytes(data)
    fails(run("cbor-to-json", tmp_path / "v.cbor", "-o", tmp_path / "v.json"))
    assert not (tmp_path / "v.json").exists()  # nothing half written
    ok(run("cbor-to-json", "--typed", "-", stdin=data))


def test_integers_of_any_length_both_ways():
    huge = -(10**24_000) + 7  # a 24,000-digit bignum
    data = cbor.encode([huge, 2**64, -(2**64) - 1])
    text = ok(run("cbor-to-json", "-", stdin=data))
    with_digits = text.decode()
    assert with_digits.startswith("[-" + "9" * 23_999 + "3,18446744073709551616,-18446744073709551617]")
    assert ok(run("json-to-cbor", "-", stdin=text)) == data
    assert ok(run("cbor-to-json", "--typed", "-", stdin=data)) == text  # bignums are numbers in both forms
    digits = "1" + "0" * 4996 + "123"
    five_thousand = 10**4999 + 123
    text = f'{{"n": {digits}, "m": [-{digits}]}}'.encode()
    data = ok(run("json-to-cbor", "-", stdin=text))
    assert cbor.loads(data) == {"n": five_thousand, "m": [-five_thousand]}
    assert ok(run("json-to-cbor", "--typed", "-", stdin=text)) == data


@pytest.mark.parametrize("number, words", [
    ("1e400", "the number 1e400 is beyond the range of a 64-bit float (about 1.8e308 at most)"),
    ("-1.5E+309", "the number -1.5E+309 is beyond the range of a 64-bit float"),
    ("1e-400", "the number 1e-400 is too small for a 64-bit float (it would be read as 0.0)"),
    ("-0.000001e-330", "the number -0.000001e-330 is too small for a 64-bit float"),
    ("9" * 400 + ".5", "the number " + "9" * 40 + "... (402 characters) is beyond the range"),
])
@pytest.mark.parametrize("typed", [[], ["--typed"]])
def test_numbers_no_float_holds_are_refused(number, words, typed):
    line = fails(run("json-to-cbor", *typed, "-", stdin=f'{{"a": [1, {number}]}}'.encode()))
    assert line.startswith(f"quorvane: error: <stdin>: {words}")


def test_numbers_floats_hold_are_kept():
    text = b"[0e-400, -0.0, 0.0e999, 1e-310, 1.7976931348623157e308, 5e-324, 2.5, 1E2]"
    data = ok(run("json-to-cbor", "-", stdin=text))
    values = cbor.loads(data)
    assert values == [0.0, -0.0, 0.0, 1e-310, 1.7976931348623157e308, 5e-324, 2.5, 100.0]
    assert math.copysign(1, values[1]) == -1
    assert data == cbor.dumps(values, False)  # the narrowest exact width, as before


def dumps_any_digits(value, **options):
    limit = getattr(sys, "get_int_max_str_digits", lambda: 0)()
    if limit:
        sys.set_int_max_str_digits(0)
    try:
        return json.dumps(value, **options).encode()
    finally:
        if limit:
            sys.set_int_max_str_digits(limit)


def test_deep_document_with_a_bignum_inside():
    """Each level holding the bignum used to be written again by every level around it; the
    result is one encode of the whole value (speed in bench/, not here)."""
    node = {"big": 2**70, "bigger": -(10**5000)}
    for level in range(400):
        node = {"pad": ["x" * 50] * 20, "level": level, "next": node}
    text = dumps_any_digits(node)
    data = ok(run("json-to-cbor", "-", stdin=text))
    assert data == cbor.encode(node)
    assert ok(run("cbor-to-json", "-", stdin=data)) == dumps_any_digits(node, separators=(",", ":")) + b"\n"


def sequence(*values):
    out = io.BytesIO()
    for value in values:
        cbor.dump(value, out)
    return out.getvalue()


def test_sequence_one_json_value_a_line(tmp_path):
    values = [1, {"a": "b", "$id": "x"}, [None, 2.5, 2**80], "", {}]
    data = sequence(*values)
    text = ok(run("cbor-to-json", "--sequence", "-", stdin=data))
    assert [json.loads(line) for line in text.decode().splitlines()] == values
    assert text == b'1\n{"a":"b","$id":"x"}\n[null,2.5,1208925819614629174706176]\n""\n{}\n'
    (tmp_path / "log.cbor").write_bytes(data)
    assert ok(run("cbor-to-json", "--sequence", tmp_path / "log.cbor")) == text
    assert ok(run("cbor-to-json", "--sequence", "-", stdin=b"")) == b""  # the empty sequence
    typed = ok(run("cbor-to-json", "--sequence", "--typed", "-", stdin=sequence(b"\x01", UNDEFINED)))
    assert typed == b'{"$bytes":"AQ=="}\n{"$simple":23}\n'
    # One item only, without --sequence.
    assert fails(run("cbor-to-json", "-", stdin=data)).startswith(
        "quorvane: error: <stdin>: CBOR decode error at byte 1: ")


@pytest.mark.parametrize("data, message", [
    (sequence(1, {"a": "b"}, [1, 2])[:-1],
     "quorvane: error: <stdin>: the sequence ends inside an item (it starts at byte 6)"),
    (sequence(1, 2) + b"\xff", "quorvane: error: <stdin>: CBOR decode error at byte 2: "),
    (sequence(1, b"\x00"), "quorvane: error: <stdin>: a byte string at the top has no plain JSON form"),
])
def test_sequence_failures(data, message):
    assert fails(run("cbor-to-json", "--sequence", "-", stdin=data)).startswith(message)


def test_sequence_and_pretty_are_one_or_the_other():
    assert "not allowed with argument" in fails(run("cbor-to-json", "--sequence", "--pretty", "-"), status=2)


def test_lone_surrogate_is_one_line():
    line = fails(run("json-to-cbor", "-", stdin=b'{"a": ["\\ud800"]}'))
    assert line.startswith("quorvane: error: <stdin>: cannot write a str that is not valid Unicode")


def test_help_names_the_options():
    for command in ("cbor-to-json", "json-to-cbor"):
        text = ok(run(command, "--help")).decode()
        assert "--typed" in text and '{"$bytes": "<base64>"}' in text and "Plain JSON by default" in text
    assert "--sequence" in ok(run("cbor-to-json", "--help")).decode()


def test_standard_tag_around_content_it_does_not_allow():
    """cbor-to-json --typed writes such CBOR as it is; json-to-cbor, by cbor.encode, refuses it."""
    data = bytes.fromhex("c0f6")  # tag 0 around null
    typed = ok(run("cbor-to-json", "--typed", "-", stdin=data))
    assert typed == b'{"$tag":0,"$value":null}\n'
    line = fails(run("json-to-cbor", "--typed", "-", stdin=typed))
    assert line == "quorvane: error: <stdin>: cannot write tag 0 around null: it needs a text string"
