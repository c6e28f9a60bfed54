"""The mail-server snippets of the README and of the package's README.Debian
are the files the end-to-end tests use."""

import os
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
README = os.path.join(HERE, "..", "..", "README.md")


README_DEBIAN = os.path.join(HERE, "..", "..", "debian", "README.Debian")


def fenced(text):
    return "```\n" + text + "```\n"


def indented(text):
    return "".join("    " + line + "\n" for line in text.splitlines()) + "\n"


class ReadmeSnippets(unittest.TestCase):
    def test_snippets_are_quoted_whole(self):
        for readme, quote in ((README, fenced), (README_DEBIAN, indented)):
            with open(readme) as f:
                doc = f.read()
            names = ("postfix/milter.cf", "sendmail/milter.mc") + (("haproxy/haproxy.cfg",) if readme == README else ())
            for name in names:
                with self.subTest(readme=os.path.basename(readme), snippet=name):
                    with open(os.path.join(HERE, name)) as f:
                        text = f.read()
                    self.assertIn(quote(text), doc, "%s does not quote tests/e2e/%s as it is"
                                  % (os.path.basename(readme), name))


if __name__ == "__main__":
    unittest.main(verbosity=2)
