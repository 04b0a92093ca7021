"""mghdrcat and mghdrsep: merging a directory of news collections, splitting
collection files, the round trip between them, and every failure path."""

import glob
import os
import shutil
import subprocess
import unittest

from toolrun import console, read, run, tempdir, write

SEP = b"========\r\n"


def collection(tag, lines=20, eol=b"\r\n"):
    return b"".join(b"Subject: %s line %d%s" % (tag, i, eol) for i in range(lines))


def make_dir(root, name, parts):
    d = os.path.join(root, name)
    os.makedirs(d)
    for part_name, data in parts.items():
        write(os.path.join(d, part_name), data)
    return d


def leftovers(d):
    return sorted(glob.glob(os.path.join(d, "tmp*.$$$")))


class Merge(unittest.TestCase):
    def setUp(self):
        self.tmp = tempdir()
        self.root = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def test_merges_in_order_and_deletes_the_parts(self):
        a, b = collection(b"a"), collection(b"b")
        d = make_dir(self.root, "comp.test", {"a.hdr": a, "b.hdr": b, "other.txt": b"keep"})
        os.mkdir(os.path.join(d, "sub.hdr"))   # a directory is not a part
        rc, out = run("mghdrcat", ["-p"], d)
        self.assertEqual((rc, out), (0, ""))
        self.assertEqual(read(os.path.join(d, "comp.test.hdr")), SEP + a + SEP + b)
        self.assertEqual(sorted(os.listdir(d)), ["comp.test.hdr", "other.txt", "sub.hdr"])

    def test_separators_ctrl_z_and_the_directory_name(self):
        a = collection(b"a") + b"\x1a"
        b = b"========\n" + collection(b"b", eol=b"\n")
        d = make_dir(self.root, "My Group (2009)", {"a.hdr": a, "b.hdr": b})
        rc, out = run("mghdrcat", ["-p", "-t"], d)
        self.assertEqual((rc, out), (0, ""))
        self.assertEqual(os.listdir(d), ["My Group.hdr"])
        self.assertEqual(read(os.path.join(d, "My Group.hdr")), SEP + a[:-1] + b)
        # Without -t the whole name; the earlier merged file is merged again as a part.
        os.rename(os.path.join(d, "My Group.hdr"), os.path.join(d, "old.hdr"))
        rc, out = run("mghdrcat", ["-p", "ignored", "-t"], d)   # options end at "ignored"
        self.assertEqual((rc, os.listdir(d)), (0, ["My Group (2009).hdr"]))

    def test_failures_keep_every_part(self):
        big = collection(b"big", lines=50)
        cases = [
            ("no parts", {"x.txt": big}, 28, "There are no .hdr files in current directory"),
            ("too small", {"a.hdr": b"x\r\n", "b.hdr": b"y\n"}, 27, "Final merged file seems too small"),
            ("no final newline", {"a.hdr": big + b"end", "b.hdr": big + b"end"}, 20,
             "Merged file lacks final newline"),
            ("Ctrl-Z after text", {"a.hdr": big + b"end\x1a", "b.hdr": big + b"end\x1a"}, 22,
             "There is no CR/NL before Ctrl-Z in merged file"),
        ]
        for label, parts, code, message in cases:
            with self.subTest(label):
                d = make_dir(self.root, label, parts)
                rc, out = run("mghdrcat", ["-p"], d)
                self.assertEqual((rc, out), (code, f"Error: {message}.\n"))
                self.assertEqual(sorted(os.listdir(d)), sorted(parts))
                for name, data in parts.items():
                    self.assertEqual(read(os.path.join(d, name)), data)

    def test_a_write_failure_deletes_nothing(self):
        parts = {f"p{i}.hdr": collection(b"%d" % i, lines=100) for i in range(3)}
        size = len(parts["p0.hdr"])
        for limit in (5, size + 5, 2 * size + 15):   # in a separator, in data, at a block edge
            with self.subTest(limit=limit):
                d = make_dir(self.root, f"limit{limit}", parts)
                rc, out = run("mghdrcat", ["-p"], d, file_size_limit=limit)
                self.assertIn(rc, (17, 18), out)
                self.assertRegex(out, r"^Error: Could not (append new data|add file separator) to merged file\.\n$")
                self.assertEqual(sorted(os.listdir(d)), sorted(parts))
                for name, data in parts.items():
                    self.assertEqual(read(os.path.join(d, name)), data)

    def test_a_part_that_cannot_be_deleted_is_reported(self):
        a, b = collection(b"a"), collection(b"b")
        d = make_dir(self.root, "grp", {"a.hdr": a, "b.hdr": b})
        locked = os.path.join(d, "a.hdr")
        if not shutil.which("chattr") or subprocess.run(["chattr", "+i", locked], capture_output=True).returncode:
            self.skipTest("no immutable files here")
        try:
            rc, out = run("mghdrcat", ["-p"], d)
        finally:
            subprocess.run(["chattr", "-i", locked])
        self.assertEqual(rc, 0)
        self.assertEqual(out, "Error: file 'a.hdr' could not be deleted: Operation not permitted\n"
                              "Warning: 1 .hdr files have not been deleted.\n")
        self.assertEqual(sorted(os.listdir(d)), ["a.hdr", "grp.hdr"])
        self.assertEqual(read(os.path.join(d, "grp.hdr")), SEP + a + SEP + b)

    def test_usage(self):
        for args in ([], ["-t"], ["-x", "-p"], ["-p", "-q"]):
            with self.subTest(args=args):
                rc, out = run("mghdrcat", args, self.root)
                self.assertEqual(rc, 30)
                self.assertRegex(out, r"^mghdrcat 4\.5 \(\w{3} [ \d]\d \d{4}\)\nMerges \.hdr news files")
                self.assertIn("Usage: mghdrcat [options]\nOptions:\n-p\tProceed", out)
        self.assertEqual(os.listdir(self.root), [])


class Split(unittest.TestCase):
    def setUp(self):
        self.tmp = tempdir()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def split(self, data, *options, expect=0):
        write(os.path.join(self.dir, "in.coll"), data)
        rc, out = run("mghdrsep", list(options) + ["in.coll"], self.dir)
        self.assertEqual(rc, expect, out)
        return console(out)

    def outputs(self):
        names = sorted(n for n in os.listdir(self.dir) if n != "in.coll" and n != "adir")
        return {n: read(os.path.join(self.dir, n)) for n in names}

    def test_separators(self):
        four = b"========\r\nA\r\n========\r\nB\r\n"
        mbox = b"From a@b Mon\nText\n>From quoted\nFrom: header\n\nFrom c@d Tue\nMore\n"
        cases = [
            ("plain", four, [], {"zzz_0000.hdr": b"========\r\nA\r\n", "zzz_0001.hdr": b"========\r\nB\r\n"}),
            ("skip", four, ["-k"], {"zzz_0000.hdr": b"A\r\n", "zzz_0001.hdr": b"B\r\n"}),
            ("LF, blank after the signs", b"========\nA\n======== \r\n========\n", ["-k", "-o", "7"],
             {"zzz_0007.hdr": b"A\n======== \r\n", "zzz_0008.hdr": b""}),
            ("mailbox", mbox, ["-u", "-k", "-o", "1", "-w", "2", "-p", "part", "-s", ".txt"],
             {"part01.txt": b"From a@b Mon\nText\n>From quoted\nFrom: header\n\n", "part02.txt": b"From c@d Tue\nMore\n"}),
            ("width 0, no final line end", b"========\nx", ["-w", "0", "-s", ""], {"zzz_0": b"========\nx"}),
            ("empty input", b"", [], {}),
        ]
        for label, data, options, expected in cases:
            with self.subTest(label):
                for name in self.outputs():
                    os.remove(os.path.join(self.dir, name))
                self.assertEqual(self.split(data, *options), "")
                self.assertEqual(self.outputs(), expected)

    def test_long_lines_and_binary_bytes(self):
        # A "From " that is not at a line start never splits, even at a read boundary.
        body = b"From x\n" + b"y" * 1023 + b"From z\n" + b"\0\xff\r\x1a\n" + b"From w\n" + b"q" * 3000
        self.split(body, "-u")
        self.assertEqual(self.outputs(), {"zzz_0000.hdr": body[:7 + 1023 + 7 + 5],
                                          "zzz_0001.hdr": b"From w\n" + b"q" * 3000})

    def test_failures(self):
        write(os.path.join(self.dir, "zzz_0001.hdr"), b"old")
        os.mkdir(os.path.join(self.dir, "adir"))
        cases = [
            (b"Header\r\n========\r\nA\r\n", [], 4,
             "Error: News collection 'in.coll' does not start with a separator (========).\n", {}),
            (b"========\r\nA\r\n", ["-u"], 4,
             "Error: News collection 'in.coll' does not start with a separator (From ).\n", {}),
            (b"========\r\nA\r\n========\r\nB\r\n", [], 5, "Error: Output file 'zzz_0001.hdr' already exists.\n",
             {"zzz_0000.hdr": b"========\r\nA\r\n"}),
            (b"========\r\nA\r\n", ["-p", "nodir/"], 6, "Error: Cannot open output file 'nodir/0000.hdr'.\n", {}),
            (b"========\r\nA\r\n", ["-p", "n" * 300], 6, "Error: Cannot open output file '", {}),
        ]
        for data, options, code, message, created in cases:
            with self.subTest(options=options, code=code):
                out = self.split(data, *options, expect=code)
                self.assertTrue(out.startswith(message), out)
                outputs = self.outputs()
                outputs.pop("zzz_0001.hdr")
                self.assertEqual(outputs, created)
                for name in created:
                    os.remove(os.path.join(self.dir, name))
        for args, code, message in [
            (["missing.coll"], 2, "Error: Cannot open input file 'missing.coll'.\n"),
            (["adir"], 2, "Error: Cannot open input file 'adir'.\n"),
        ]:
            rc, out = run("mghdrsep", args, self.dir)
            self.assertEqual((rc, out), (code, message))

    def test_a_write_failure_is_reported(self):
        write(os.path.join(self.dir, "in.coll"), b"========\n" + b"z" * 200000)
        rc, out = run("mghdrsep", ["in.coll"], self.dir, file_size_limit=100000)
        self.assertEqual(rc, 7, out)
        self.assertRegex(console(out), r"^Error: could not append \d+ bytes to file 'zzz_0000\.hdr'\.\n$")

    def test_usage(self):
        for args in ([], ["-k"], ["-o"], ["-o", "x", "f"], ["-w", "-1", "f"], ["-z", "f"]):
            with self.subTest(args=args):
                rc, out = run("mghdrsep", args, self.dir)
                self.assertEqual(rc, 1)
                self.assertRegex(out, r"^mghdrsep 4\.5 \(\w{3} [ \d]\d \d{4}\)\nSeparates news collections")
                self.assertTrue(out.endswith("default is 4 digits.\n"), out)


class RoundTrip(unittest.TestCase):
    """Merging a directory and splitting the result gives the parts back."""

    def setUp(self):
        self.tmp = tempdir()
        self.root = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def merge_and_split(self, name, parts, *split_options):
        d = make_dir(self.root, name, {f"{i:05d}.hdr": data for i, data in enumerate(parts)})
        rc, out = run("mghdrcat", ["-p"], d)
        self.assertEqual((rc, out), (0, ""))
        merged = read(os.path.join(d, name + ".hdr"))
        out_dir = os.path.join(self.root, name + ".split")
        os.mkdir(out_dir)
        rc, out = run("mghdrsep", list(split_options) + [os.path.join(d, name + ".hdr")], out_dir)
        self.assertEqual((rc, console(out)), (0, ""))
        files = sorted(os.listdir(out_dir))
        return merged, [read(os.path.join(out_dir, f)) for f in files]

    def test_fixtures(self):
        filler = collection(b"filler", lines=30)
        fixtures = [
            ("crlf", [collection(b"a"), collection(b"b")]),
            ("lf", [collection(b"a", eol=b"\n"), collection(b"b", eol=b"\n")]),
            ("empty collection", [filler, b"", filler]),
            ("last line without line end", [filler + b"no end"]),
            ("already separated", [b"========\n" + filler, b"========\r\n" + filler]),
            ("binary bytes", [filler + b"\0\xff\x1a\r\n" + filler]),
        ]
        for name, parts in fixtures:
            with self.subTest(name):
                merged, split = self.merge_and_split(name, parts)
                self.assertEqual(b"".join(split), merged)
                expected = [p if p.startswith(b"========") else SEP + p for p in parts]
                self.assertEqual(sorted(split), sorted(expected))
                if not any(p.startswith(b"========") for p in parts):
                    merged, split = self.merge_and_split(name + " k", parts, "-k")
                    self.assertEqual(sorted(split), sorted(parts))

    def test_a_body_line_of_equal_signs_splits_without_losing_bytes(self):
        part = collection(b"a") + b"========\r\n" + collection(b"b")
        merged, split = self.merge_and_split("body", [part])
        self.assertEqual(split, [SEP + collection(b"a"), b"========\r\n" + collection(b"b")])
        self.assertEqual(b"".join(split), merged)

    def test_mailbox_round_trip(self):
        messages = [b"From user%d@example.org Mon Jun  8 12:00:00 2009\nSubject: %d\n\n>From the start\nbody\n\n"
                    % (i, i) for i in range(50)]
        mbox = b"".join(messages)
        d = os.path.join(self.root, "mbox")
        os.mkdir(d)
        write(os.path.join(d, "box"), mbox)
        rc, out = run("mghdrsep", ["-u", "-p", "m", "-s", ".hdr", "box"], d)
        self.assertEqual((rc, console(out)), (0, ""))
        names = sorted(glob.glob(os.path.join(d, "m*.hdr")))
        self.assertEqual([read(n) for n in names], messages)

    def test_thousands_of_parts(self):
        parts = [b"Subject: %d\r\n" % i for i in range(3000)]
        d = os.path.join(self.root, "many")
        os.mkdir(d)
        write(os.path.join(d, "all.coll"), b"".join(SEP + p for p in parts))
        rc, out = run("mghdrsep", ["-k", "-p", "x", "-w", "5", "all.coll"], d)
        self.assertEqual((rc, console(out)), (0, ""))
        os.remove(os.path.join(d, "all.coll"))
        self.assertEqual(len(os.listdir(d)), 3000)
        rc, out = run("mghdrcat", ["-p"], d)
        self.assertEqual((rc, out), (0, ""))
        self.assertEqual(os.listdir(d), ["many.hdr"])
        self.assertEqual(sorted(read(os.path.join(d, "many.hdr")).split(SEP)[1:]), sorted(parts))


if __name__ == "__main__":
    unittest.main()
