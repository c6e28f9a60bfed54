"""The README's mail-server snippets are the files the end-to-end tests use."""

import os
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
README = os.path.join(HERE, "..", "..", "README.md")


class ReadmeSnippets(unittest.TestCase):
    def test_snippets_are_quoted_whole(self):
        with open(README) as f:
            readme = f.read()
        for name in ("postfix/milter.cf", "sendmail/milter.mc"):
            with self.subTest(snippet=name):
                with open(os.path.join(HERE, name)) as f:
                    text = f.read()
                self.assertIn("```\n" + text + "```\n", readme,
                              "README.md does not quote tests/e2e/%s as it is" % name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
