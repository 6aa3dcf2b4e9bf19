# SPDX-License-Identifier: Apache-2.0
"""python3 -m quorvex FILE --url URL [--token T]: prints the final texts."""
from __future__ import annotations

import argparse
import sys
from typing import List, Optional

from . import QuorvexError, transcribe


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m quorvex",
                                     description="Print the final texts a quorvex server recognises in a WAV file "
                                                 "(16-bit, 16 kHz, mono).")
    parser.add_argument("file", help="the WAV file")
    parser.add_argument("--url", required=True, help="the server, for example ws://127.0.0.1:8080/asr")
    parser.add_argument("--token", default="", help="the token the server asks for")
    parser.add_argument("--log-file", help="write the library's log here (off by default)")
    arguments = parser.parse_args(argv)
    try:
        if arguments.log_file:
            from . import configure
            configure(log_file=arguments.log_file)
        for text in transcribe(arguments.file, url=arguments.url, token=arguments.token):
            print(text, flush=True)
    except (QuorvexError, OSError, ValueError) as error:
        print(f"quorvex: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
