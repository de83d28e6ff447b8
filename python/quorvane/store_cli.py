"""`quorvane store DB ACTION ...`: the version store (quorvane.store) from the command line."""

import os
import sqlite3
import sys

EPILOG = """\
examples:
  quorvane store versions.db put app/config.json config.json
  quorvane store versions.db get app/config.json -v 3 -o config-3.json
  quorvane store versions.db log app/config.json
  quorvane store versions.db keys app/
  quorvane store versions.db delta app/config.json 3 -o 3-to-newest.qvd
  quorvane store versions.db verify

DB is a SQLite file (put creates it) or a postgresql://... URL. A delta is a compress
frame: `quorvane decompress OLD DELTA -o NEW` applies it to the version it starts from.
"""


def add_parser(command):
    """Adds the store command through cli.build_parser's command(name, function, help, epilog)."""
    sub = command("store", run, "keeps every version of files in a database, as deltas", EPILOG)
    sub.add_argument("db", metavar="DB", help="a SQLite file or a postgresql://... URL")
    actions = sub.add_subparsers(dest="action", metavar="ACTION")
    actions.required = True
    action = actions.add_parser("put", help="stores FILE as KEY's next version; prints its number")
    action.add_argument("key", metavar="KEY")
    action.add_argument("input", metavar="FILE", help='the value ("-": standard input)')
    action = actions.add_parser("get", help="writes KEY's newest version (or version N)")
    action.add_argument("key", metavar="KEY")
    action.add_argument("-v", "--version", dest="number", type=int, metavar="N", help="the version number")
    action.add_argument("-o", "--output", metavar="OUT", default="-", help='where to (default "-": standard output)')
    action = actions.add_parser("log", help="KEY's versions: number, size, stored size, time, SHA-256")
    action.add_argument("key", metavar="KEY")
    action = actions.add_parser("keys", help="the keys (that start with PREFIX), sorted")
    action.add_argument("prefix", metavar="PREFIX", nargs="?", default="")
    action = actions.add_parser("delta", help="a compress frame from KEY's version FROM to TO (default the newest)")
    action.add_argument("key", metavar="KEY")
    action.add_argument("start", metavar="FROM", type=int)
    action.add_argument("end", metavar="TO", type=int, nargs="?")
    action.add_argument("-o", "--output", metavar="OUT", required=True, help='the frame ("-": standard output)')
    actions.add_parser("verify", help="reads every version back and checks it")
    return sub


def _open(cli, db, create):
    from quorvane import store

    remote = db.startswith(("postgresql://", "postgres://"))
    if not remote and not create and not os.path.exists(db):
        raise cli.CommandError(f"cannot open {db}: No such file or directory")
    try:
        return store.open(db)
    except sqlite3.Error as error:
        raise cli.CommandError(f"cannot open {db}: {error}") from None
    except ImportError as error:
        raise cli.CommandError(str(error)) from None
    except Exception as error:  # the PostgreSQL driver's connection errors
        if type(error).__module__.startswith("psycopg"):
            raise cli.CommandError(f"cannot open the database: {str(error).strip().splitlines()[0]}") from None
        raise


def run(args):
    from quorvane import cli, store

    if args.action in ("get", "delta") and args.output != "-":
        cli._check_output(args.output, (), binary=True)
    elif args.action in ("get", "delta"):
        cli._check_output("-", (), binary=True)
    try:
        with _open(cli, args.db, create=args.action == "put") as s:
            _act(cli, s, args)
    except KeyError as error:
        raise cli.CommandError(error.args[0] if error.args and isinstance(error.args[0], str) and " " in error.args[0]
                               else f"no key {error.args[0]!r} in {args.db}") from None
    except store.DamagedError as error:
        raise cli.CommandError(str(error)) from None
    except (TypeError, ValueError) as error:  # a key the store refuses
        raise cli.CommandError(str(error)) from None
    except sqlite3.Error as error:
        raise cli.CommandError(f"{args.db}: {error}") from None


def _act(cli, s, args):
    if args.action == "put":
        (source,) = cli._open_inputs(args.input)
        with source:
            number = s.put(args.key, source.data)
        print(number)
    elif args.action == "get":
        cli._write(args.output, s.get(args.key, args.number))
    elif args.action == "log":
        for v in s.versions(args.key):
            print(f"{v.number}\t{v.size}\t{v.stored_size}\t{v.created.isoformat(timespec='seconds')}\t{v.checksum}")
    elif args.action == "keys":
        for key in s.keys(args.prefix):
            print(key)
    elif args.action == "delta":
        cli._write(args.output, s.delta(args.key, args.start, args.end))
    elif args.action == "verify":
        print(f"{s.verify()} versions checked, none damaged")
    sys.stdout.flush()
