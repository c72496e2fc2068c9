#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Lists the longest function bodies in C++ sources.

    scripts/function-lengths.py [--over N] [--top K] [PATH...]

PATH defaults to src/. A function's length runs from the line of its name to
its closing brace. With --over N, only functions longer than N lines are
listed, each marked "(reason given)" when a comment just above it or on its
first lines says why it is kept whole ("kept whole", "kept in one piece");
the exit status is 1 when any function over N has no reason given.

A scanner, not a parser: comments and literals are blanked, then each brace
is classed by the text before it (namespace, class, or a parameter list).
"""
import argparse
import os
import re
import sys

CONTAINER = re.compile(r'\b(namespace|class|struct|union|enum)\b[^()]*$|extern\s*"C"\s*$')
NAME = re.compile(r'([A-Za-z_~][\w:<>~]*(?:operator\s*\S+?)?)\s*\($')
REASON = re.compile(r'kept (whole|in one piece)', re.I)


def blank(text):
    """Comments, string and character literals replaced by spaces (newlines kept)."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith('//', i):
            j = text.find('\n', i)
            j = n if j < 0 else j
            out.append(' ' * (j - i))
            i = j
        elif text.startswith('/*', i):
            j = text.find('*/', i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:j]))
            i = j
        elif c == 'R' and text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(')' + (m.group(1) if m else '') + '"', i)
            j = n if end < 0 else end + len(m.group(1) if m else '') + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:j]))
            i = j
        elif c in '"\'':
            j = i + 1
            while j < n and text[j] != c and text[j] != '\n':
                j += 2 if text[j] == '\\' else 1
            j = min(j + 1, n)
            out.append(' ' * (j - i))
            i = j
        else:
            out.append(c)
            i += 1
    return ''.join(out)


def functions(path):
    with open(path, encoding='utf-8', errors='replace') as f:
        raw = f.read()
    code = blank(raw)
    # Preprocessor lines carry no braces that matter here.
    code = re.sub(r'(?m)^[ \t]*#.*$', lambda m: ' ' * len(m.group(0)), code)
    stack = []  # 'c' container, 'f' function, 'o' other
    start = 0   # where the text before the next brace begins
    found = []
    for i, c in enumerate(code):
        if c in ';':
            start = i + 1
        elif c == '{':
            head = code[start:i]
            inside_function = 'f' in stack
            if inside_function:
                stack.append(('o', 0, ''))
            elif CONTAINER.search(' '.join(head.split())):
                stack.append(('c', 0, ''))
            else:
                name = function_name(head)
                if name:
                    line = code.count('\n', 0, start + len(head) - len(head.lstrip())) + 1
                    stack.append(('f', line, name))
                else:
                    stack.append(('o', 0, ''))
            start = i + 1
        elif c == '}':
            if stack:
                kind, line, name = stack.pop()
                if kind == 'f':
                    found.append((code.count('\n', 0, i) + 2 - line, name, line))
            start = i + 1
    lines = raw.split('\n')
    return [(length, name, line, has_reason(lines, line, length)) for length, name, line in found]


def function_name(head):
    text = ' '.join(head.split())
    if '(' not in text or text.startswith('=') or text.endswith('='):
        return None
    # Drop a constructor's initialiser list and trailing qualifiers.
    depth, cut = 0, None
    for k, ch in enumerate(text):
        if ch == '(':
            if depth == 0 and cut is None:
                cut = k
            depth += 1
        elif ch == ')':
            depth -= 1
    if cut is None:
        return None
    m = NAME.search(text[:cut + 1])
    if not m:
        return None
    name = m.group(1)
    if name.split('::')[-1] in ('if', 'for', 'while', 'switch', 'catch', 'return', 'sizeof', 'decltype'):
        return None
    return name


def has_reason(lines, line, length):
    above = lines[max(0, line - 8):line - 1]
    first = lines[line - 1:line - 1 + min(length, 6)]
    return any(REASON.search(text) for text in above + first)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--over', type=int)
    parser.add_argument('--top', type=int, default=15)
    parser.add_argument('paths', nargs='*', default=['src'])
    args = parser.parse_args()
    rows = []
    for root in args.paths:
        walk = [(root, [], [os.path.basename(root)])] if os.path.isfile(root) else os.walk(root)
        for folder, _, files in walk:
            for name in files:
                if name.endswith(('.cpp', '.h')):
                    path = os.path.join(folder if os.path.isdir(root) else os.path.dirname(root) or '.', name)
                    rows += [(length, fn, path, line, reason) for length, fn, line, reason in functions(path)]
    rows.sort(key=lambda r: (-r[0], r[2], r[3]))
    if args.over is not None:
        rows = [r for r in rows if r[0] > args.over]
    else:
        rows = rows[:args.top]
    unexplained = 0
    for length, fn, path, line, reason in rows:
        mark = ' (reason given)' if reason else ''
        if not reason:
            unexplained += 1
        print(f'{length:5d}  {path}:{line}  {fn}{mark}')
    if args.over is not None:
        print(f'{len(rows)} function(s) over {args.over} lines, {unexplained} without a reason given')
        return 1 if unexplained else 0
    return 0


if __name__ == '__main__':
    sys.exit(main())
