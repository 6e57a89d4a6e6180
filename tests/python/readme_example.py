# SPDX-License-Identifier: MIT
"""Prints the Python example of README.md's "Python" section (its first
python code block), so that tests can run exactly what the README shows.

usage: python3 readme_example.py README.md > example.py"""
import re
import sys


def extract(readme):
    section = re.search(r"^## Python\n(.*?)(?=^## |\Z)", readme,
                        re.MULTILINE | re.DOTALL)
    if section is None:
        raise ValueError("README has no '## Python' section")
    block = re.search(r"^```python\n(.*?)^```", section.group(1),
                      re.MULTILINE | re.DOTALL)
    if block is None:
        raise ValueError("README's Python section has no python code block")
    return block.group(1)


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as readme:
        sys.stdout.write(extract(readme.read()))
