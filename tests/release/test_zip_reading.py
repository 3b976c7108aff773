"""Text from a download made fit for a terminal, and only regular files read."""
import os
import tempfile
import unittest

from release.hostile_input import NotARelease, refuse_unless_regular, shown


class Shown(unittest.TestCase):
    def test_escapes(self):
        for text, want in (("plain text ~", "plain text ~"),
                           ("\x1b[2K\rVERIFIED", "\\x1b[2K\\x0dVERIFIED"),
                           ("back\\slash", "back\\x5cslash"),
                           ("caf\u00e9 \u202e", "caf\\xe9 \\u202e"),
                           (b"\xff\n", "\\xff\\x0a")):
            self.assertEqual(shown(text), want)


class RegularFilesOnly(unittest.TestCase):
    def test_what_is_refused_is_named(self):
        with tempfile.TemporaryDirectory() as work:
            fifo = os.path.join(work, "pipe")
            os.mkfifo(fifo)
            regular = os.path.join(work, "file.zip")
            open(regular, "w").close()
            refuse_unless_regular(regular)
            for path, word in ((fifo, "a FIFO"), (work, "a folder"), ("/dev/null",
                                                                     "a character device"),
                               (os.path.join(work, "none"), "cannot be read")):
                with self.assertRaises(NotARelease) as caught:
                    refuse_unless_regular(path)
                self.assertIn(word, str(caught.exception))


if __name__ == "__main__":
    unittest.main()
