#!/usr/bin/env python3
"""Validates kyfw's --json documents against kyfw.schema.json in the folder
given: one document a line on standard input, one answer a line on standard
output ("ok", or the problem and where it is). Runs until its input ends, so
that a test program starts it once."""
import json
import sys

import jsonschema
from jsonschema.exceptions import best_match


def main():
    with open(sys.argv[1] + "/kyfw.schema.json", encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    for line in sys.stdin:
        try:
            error = best_match(validator.iter_errors(json.loads(line)))
            if error is None:
                answer = "ok"
            else:  # where, as a JSON pointer, and what
                where = "".join(f"/{p}" for p in error.absolute_path) or "/"
                answer = f"{where}: {error.message}"
        except ValueError as e:
            answer = f"not JSON: {e}"
        print(answer.replace("\n", " "), flush=True)


main()
