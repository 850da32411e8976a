"""Corpus runs on a Dask cluster: every text file of a folder or glob goes
down the segmentation road with a dictionary as the entity model.

    python3 -m kelvra.corpus CORPUS... --dict WORDS.txt -o entities.jsonl

For each file (one document, UTF-8): normalise it (traditional to
simplified, control characters, full-width to half-width), cut it into
segments of at most --length code points (with --overlap, each repeating up
to that many code points before it, so that no word is lost at a cut), find
the dictionary's words in each segment with the automaton, and stitch the
occurrences back into document positions, each once. Writes one JSON line per document, in the order of the
sorted file list:

    {"path": "...", "length": 1234, "segments": 3, "changes": 17,
     "entities": [{"text": "...", "length": 2, "offset": 5}, ...]}

Offsets count code points of the normalised text (the same positions as
the input, since normalisation keeps one code point per position).

The tools are made once, here: the automaton is built from --dict on this
machine and sent to each worker with the normaliser, sectioner and stitcher
(pickled, so no worker builds anything), or --automaton names a saved
automaton that each worker maps, sharing its pages with the other workers
of its machine.

The documents are spread over a ``dask.bag`` of --partitions partitions.
By default the bag is computed by Dask's local process scheduler on
--workers processes forked from this one once the tools are made: they
start in milliseconds and inherit the tools (and the pages of a built or
mapped automaton) instead of receiving them. --scheduler tcp://HOST:PORT
computes it on an existing ``distributed`` cluster instead (its workers
must be able to import kelvra and read the corpus, and the --automaton
file if one is given), and --scheduler local on a ``distributed``
LocalCluster of --workers processes started for the run, which costs
seconds. --single-process runs everything in this process without Dask,
for comparison and debugging.

Workers on this machine write their partitions' lines into part files of a
temporary folder beside the output, and this process joins the parts in
order: the results never travel through Dask, so more workers means faster.
Workers of a cluster given by address send their lines back, unless
--parts-dir names a folder that they and this process share.
"""
import argparse
import glob
import json
import os
import shutil
import sys
import tempfile
import threading
import time

__all__ = ["find_documents", "load_dictionary", "main", "make_tools", "partitions_of", "process_document",
           "process_partition", "read_document", "tune_allocator", "write_partition"]

# Saved automata that this process has mapped, by path: each worker maps a
# file once, and the processes of a machine share its pages.
_MAPPED = {}


def load_dictionary(path, fold=None):
    """The automaton of the word list at `path`: the first field (before a
    blank or tab) of each line, a byte order mark at the start dropped, as
    ``kelvra-nlp match --dict`` reads it; `fold` as Automaton takes it."""
    from kelvra._native.retrieval import word_list
    from kelvra.nlp.common.matcher import Automaton

    with open(path, "rb") as f:
        content = f.read()
    try:
        words = word_list(content)
    except ValueError as e:
        raise ValueError("%s: %s" % (path, e)) from None
    return Automaton(words, fold=fold)


def make_tools(dict_path=None, automaton_path=None, valid_chars=(), kind="overlapping",
               whole_words=False, fold=None):
    """The tools of the road, made once on the client: (normaliser,
    sectioner, stitcher, automaton, search options). With `automaton_path`
    the automaton is that path, which each worker maps (shared pages)
    instead of receiving the tables, and keeps the foldings it was saved
    with (`fold` then must be None). `kind` and `whole_words` are those of
    Automaton.search."""
    from kelvra.nlp.common.matcher import Automaton
    from kelvra.nlp.common.normalizer import Normalizer
    from kelvra.nlp.common.sectioner import Sectioner
    from kelvra.nlp.common.stitcher import Stitcher

    if automaton_path:
        if fold is not None:
            raise ValueError("`fold` applies to a dictionary; a saved automaton keeps its own")
        loaded = Automaton.load(automaton_path)  # refused here, not on every worker, when damaged
        automaton = os.path.abspath(automaton_path)
    else:
        automaton = loaded = load_dictionary(dict_path, fold) if dict_path else Automaton([], fold)
    options = {"kind": kind, "whole_words": whole_words}
    loaded.search("", **options)  # a bad kind or whole_words is refused here, not on a worker
    return (Normalizer(list(valid_chars)), Sectioner(), Stitcher(), automaton, options)


def _automaton_of(tools):
    automaton = tools[3]
    if not isinstance(automaton, str):
        return automaton
    if automaton not in _MAPPED:
        from kelvra.nlp.common.matcher import Automaton

        _MAPPED.clear()
        _MAPPED[automaton] = Automaton.load(automaton)
    return _MAPPED[automaton]


def read_document(path):
    """The text of one file; a file that is not UTF-8 is an error naming it."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ValueError("%s: not valid UTF-8 at byte %d" % (path, e.start)) from None


def _document(path, name, tools, length, overlap=0):
    """The output fields of one document, its entities as matcher.Word."""
    normalizer, sectioner, stitcher = tools[:3]
    automaton = _automaton_of(tools)
    options = tools[4] if len(tools) > 4 else {}
    text = read_document(path)
    normalized = normalizer.normalize(text)
    request = {"text": normalized.normalized_text, "length": length}
    if overlap:
        request["overlap"] = overlap
    segments = sectioner.split(request, "ner")
    for segment in segments:
        segment["nes"] = automaton.search(segment["text"], **options)
    entities = stitcher.merge(segments, "ner")
    return {"path": name, "length": len(normalized.normalized_text),
            "segments": len(segments), "changes": len(normalized.alter_words), "entities": entities}


def process_document(path, name, tools, length, overlap=0):
    """The output record of one document."""
    record = _document(path, name, tools, length, overlap)
    record["entities"] = [word.to_json() for word in record["entities"]]
    return record


def process_partition(documents, tools, length, overlap=0):
    """JSON lines of the (path, name) documents of one partition, in order."""
    from kelvra._native.retrieval import words_json

    lines = []
    for path, name in documents:
        record = _document(path, name, tools, length, overlap)
        # The entities' JSON made in one go: a dict per occurrence for
        # json.dumps would cost more than finding them.
        entities = words_json(record.pop("entities"))
        head = json.dumps(record, ensure_ascii=False, separators=(",", ":"))
        lines.append(head[:-1] + ',"entities":' + entities + "}")
    return lines


def write_partition(documents, tools, length, part_path, overlap=0):
    """Writes the JSON lines of the (path, name) documents of one partition
    into the file `part_path` (UTF-8, a line feed after each) and returns
    the path: the lines stay on the worker's disk instead of travelling
    back."""
    with open(part_path, "wb") as part:
        _write_documents(documents, tools, length, part, overlap)
    return part_path


def _write_documents(documents, tools, length, out, overlap=0, done=None):
    """Writes the JSON lines of the documents to the binary stream `out` a
    document at a time (their lines are never all held at once), calling
    `done()` after each when given."""
    for document in documents:
        for line in process_partition([document], tools, length, overlap):
            out.write(line.encode("utf-8"))
            out.write(b"\n")
        if done is not None:
            done()


_ALLOCATOR_TUNED = False


def tune_allocator():
    """Dask's worker nannies start their processes with
    MALLOC_TRIM_THRESHOLD_ set, which also pins glibc's mmap threshold at
    128 KiB and trims the heap at every 64 KiB free at its top: every
    document's text and JSON line then takes fresh pages from the system and
    hands them back, and the road runs three times slower. Where that
    variable is set and the mmap threshold is not, blocks of up to 32 MiB
    come from the heap again, and the heap keeps up to 32 MiB free at its
    top. Run on each worker of a pipeline of one's own with
    ``client.run(tune_allocator)``; a corpus run does it by itself."""
    global _ALLOCATOR_TUNED
    if _ALLOCATOR_TUNED:
        return
    _ALLOCATOR_TUNED = True
    if "MALLOC_TRIM_THRESHOLD_" not in os.environ or "MALLOC_MMAP_THRESHOLD_" in os.environ:
        return
    try:
        import ctypes

        libc = ctypes.CDLL(None)
        libc.mallopt(-3, 32 << 20)  # M_MMAP_THRESHOLD
        libc.mallopt(-1, 32 << 20)  # M_TRIM_THRESHOLD
    except (OSError, AttributeError):
        pass  # not glibc


def _bag_partition(runs, tools, length, overlap=0):
    tune_allocator()
    # Each run is (part file or None, documents): with a part file its lines
    # are written there and only the path comes back.
    out = []
    for part_path, documents in runs:
        if part_path is None:
            out.append("".join(line + "\n" for line in process_partition(documents, tools, length, overlap)))
        else:
            out.append(write_partition(documents, tools, length, part_path, overlap))
    return out


# The tools of a run on forked processes: set before the processes are
# forked, so each one holds them without a pickle.
_FORKED_TOOLS = None


def _forked_partition(runs, length, overlap=0):
    return _bag_partition(runs, _FORKED_TOOLS, length, overlap)


def _import_beside(modules):
    """Imports `modules` on a thread of its own and returns it: Dask's
    import (a few tenths of a second) then runs while the tools are made,
    whose long parts leave the interpreter free. Join the thread before
    forking. It is not a daemon, so that an early exit waits for it rather
    than stopping an import halfway; a module that fails to import here
    fails again, with its error, where it is used."""

    def import_all():
        try:
            for name in modules:
                __import__(name)
        except Exception:  # noqa: BLE001 - reported by the import where the module is used
            pass

    thread = threading.Thread(target=import_all, name="kelvra-corpus-imports")
    thread.start()
    return thread


def find_documents(inputs):
    """(path, name) of the files named by INPUT arguments (files, folders
    searched recursively, globs), sorted by path and without repeats; the
    name is the path relative to the folder it was found in."""
    names = {}
    for item in inputs:
        if os.path.isdir(item):
            for root, dirs, files in os.walk(item):
                dirs.sort()
                for name in files:
                    path = os.path.join(root, name)
                    names.setdefault(path, os.path.relpath(path, item))
        elif os.path.isfile(item):
            names.setdefault(item, item)
        else:
            matches = sorted(p for p in glob.glob(item, recursive=True) if os.path.isfile(p))
            if not matches:
                raise SystemExit("kelvra.corpus: %s: no such file, folder or matching glob" % item)
            for path in matches:
                names.setdefault(path, path)
    return [(path, names[path]) for path in sorted(names)]


class Progress:
    """A one-line progress bar on standard error."""

    def __init__(self, total, unit, enabled):
        self.total, self.unit, self.enabled = total, unit, enabled
        self.done = 0
        self.start = time.monotonic()

    def advance(self, count=1):
        self.done += count
        if not self.enabled:
            return
        width = 30
        filled = width * self.done // max(self.total, 1)
        elapsed = time.monotonic() - self.start
        sys.stderr.write("\r[%s%s] %d/%d %s, %.1f s" % ("#" * filled, "." * (width - filled), self.done,
                                                        self.total, self.unit, elapsed))
        if self.done >= self.total:
            sys.stderr.write("\n")
        sys.stderr.flush()


def partitions_of(items, count):
    """`items` cut into `count` consecutive runs of nearly equal size."""
    count = max(1, min(count, len(items)))
    size, extra = divmod(len(items), count)
    out, start = [], 0
    for i in range(count):
        end = start + size + (1 if i < extra else 0)
        out.append(items[start:end])
        start = end
    return out


def _tapering_runs(items, workers):
    """`items` cut into consecutive runs that shrink toward the end: each
    takes 1/(2 * workers) of what is left, but at least 1/(16 * workers) of
    all. Workers that take the next run as they finish then run out of work
    at nearly the same time; equal runs leave one worker idle while
    another finishes a whole last run."""
    floor = max(1, len(items) // (16 * workers))
    out, start = [], 0
    while start < len(items):
        size = max(floor, -(-(len(items) - start) // (2 * workers)))
        out.append(items[start:start + size])
        start += size
    return out


def _runs_of(documents, partitions, workers):
    """The documents' partitions: `partitions` equal runs when given (not
    0), tapering runs for `workers` otherwise."""
    return partitions_of(documents, partitions) if partitions else _tapering_runs(documents, workers)


def run_single_process(documents, tools, length, out, progress, overlap=0):
    _write_documents(documents, tools, length, out, overlap, progress.advance)


class _InOrder:
    """Hands the results of partitions, which finish in any order, to
    `write` in partition order."""

    def __init__(self, write):
        self.write, self.ready, self.next = write, {}, 0

    def finished(self, index, result):
        self.ready[index] = result
        while self.next in self.ready:
            self.write(self.ready.pop(self.next))
            self.next += 1


def _copy_part(part_path, out):
    with open(part_path, "rb") as part:
        shutil.copyfileobj(part, out, 1 << 20)
    os.remove(part_path)


def _parts_folder(parts_dir, output):
    """A new folder for the part files: inside `parts_dir` when given, else
    beside a regular output file (the same disk), else in the system's
    temporary folder."""
    if parts_dir is not None:
        return tempfile.mkdtemp(prefix="kelvra-corpus-parts-", dir=parts_dir)
    beside = None
    if output != "-" and (not os.path.exists(output) or os.path.isfile(output)):
        beside = os.path.dirname(os.path.abspath(output))
    return tempfile.mkdtemp(prefix=".kelvra-corpus-parts-", dir=beside)


def run_on_cluster(documents, tools, length, out, progress, client, partitions, parts_dir=None, overlap=0,
                   workers=1):
    """Runs the documents on the cluster of `client`, writing their lines to
    the binary stream `out` in input order. With `parts_dir` (a folder both
    the workers and this process can reach) each partition's lines go
    through a part file there instead of through Dask."""
    import dask.bag as db
    from distributed import as_completed

    runs = _runs_of(documents, partitions, workers)
    items = [(None if parts_dir is None else os.path.join(parts_dir, "part-%06d.jsonl" % i), run)
             for i, run in enumerate(runs)]
    # The tools go to every worker once; each task gets the worker's copy.
    [shared] = client.scatter([tools], broadcast=True, hash=False)
    from kelvra import corpus as module  # by import name, not by value (see run_forked)

    bag = db.from_sequence(items, npartitions=len(items)).map_partitions(module._bag_partition, shared, length,
                                                                         overlap)
    futures = client.compute(bag.to_delayed())
    index = {future.key: i for i, future in enumerate(futures)}
    def write(results):
        for result in results:
            if parts_dir is None:
                out.write(result.encode("utf-8"))
            else:
                _copy_part(result, out)

    in_order = _InOrder(write)
    for future in as_completed(futures):
        in_order.finished(index[future.key], future.result())
        progress.advance(len(runs[index[future.key]]))


def run_forked(documents, tools, length, out, progress, workers, partitions, parts_dir, overlap=0):
    """Runs the documents on `workers` processes forked from this one, by
    Dask's local process scheduler, each partition's lines written to a part
    file in `parts_dir`; joins the parts into the binary stream `out` in
    input order as they are ready."""
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    import dask
    import dask.bag as db
    from dask.callbacks import Callback

    # The task names its function by this module's import name, even when
    # this module runs as __main__: a function of __main__ would travel by
    # value, with the tools among its globals.
    from kelvra import corpus as module

    runs = _runs_of(documents, partitions, workers)
    items = [(os.path.join(parts_dir, "part-%06d.jsonl" % i), run) for i, run in enumerate(runs)]
    bag = db.from_sequence(items, npartitions=len(items)).map_partitions(module._forked_partition, length,
                                                                         overlap)
    index = {key: i for i, key in enumerate(bag.__dask_keys__())}
    def copy_parts(part_paths):
        for path in part_paths:
            _copy_part(path, out)

    in_order = _InOrder(copy_parts)

    def finished(key, result, dsk, state, worker_id):
        # Called in this process as each task ends: parts go out in order.
        if key in index:
            in_order.finished(index[key], result)
            progress.advance(len(runs[index[key]]))

    module._FORKED_TOOLS = tools
    try:
        with ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("fork")) as pool, \
                Callback(posttask=finished):
            dask.compute(bag, scheduler="processes", pool=pool, optimize_graph=False, chunksize=1)
    finally:
        module._FORKED_TOOLS = None


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m kelvra.corpus",
        description="Runs a corpus of text files down the segmentation road on Dask: normalise, "
                    "section, find the dictionary's words in each segment, stitch; one JSON line "
                    "per document.")
    parser.add_argument("inputs", nargs="+", metavar="CORPUS",
                        help="text files, folders (searched recursively) or globs; one file is one document")
    parser.add_argument("-o", "--output", default="-", help="JSON Lines output file (default: standard output)")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--dict", default=None,
                        help="dictionary of entity words, one a line (the first field before a blank or tab; "
                             "a byte order mark is dropped), built into an automaton once, on this machine")
    source.add_argument("--automaton", default=None, metavar="FILE",
                        help="a saved automaton (Automaton.save, kelvra-nlp match --save-automaton) that "
                             "each worker maps: every worker must be able to read FILE")
    parser.add_argument("--kind", default="overlapping",
                        choices=("overlapping", "leftmost-longest", "leftmost-first"),
                        help="which occurrences to report, as kelvra-nlp match --kind (default overlapping)")
    parser.add_argument("--whole-words", action="store_true",
                        help="only occurrences that cut no word, as kelvra-nlp match --whole-words")
    parser.add_argument("--fold", default=None, metavar="LIST",
                        help="with --dict: match ignoring case, width and/or script (joined by commas), "
                             "as kelvra-nlp match --fold; entities keep the text's own slices")
    parser.add_argument("--length", type=int, default=510, help="maximum segment length in code points (510)")
    parser.add_argument("--overlap", type=int, default=0,
                        help="code points each segment repeats from before its own span, so that a word "
                             "cut at a segment's edge is still found, once (default 0: none; at most "
                             "--length - 1 is used)")
    parser.add_argument("--valid-char", action="append", default=[], dest="valid_chars",
                        help="a control character to keep (repeatable)")
    parser.add_argument("--scheduler", default=None,
                        help="address of a running Dask scheduler, e.g. tcp://HOST:8786, or 'local' for a "
                             "distributed LocalCluster started for the run (default: Dask's process "
                             "scheduler on processes forked from this one)")
    parser.add_argument("--workers", type=int, default=2,
                        help="worker processes on this machine (default 2)")
    parser.add_argument("--partitions", type=int, default=0,
                        help="number of partitions, of equal size (default: runs that shrink toward the end, "
                             "the first 1/(2 * workers) of the documents, so that the workers finish together)")
    parser.add_argument("--parts-dir", default=None, metavar="DIR",
                        help="a folder that the workers and this process share, for the part files "
                             "in which workers write their lines (default: a temporary folder beside "
                             "the output with a LocalCluster; none with --scheduler, so the lines "
                             "are sent back)")
    parser.add_argument("--single-process", action="store_true",
                        help="run in this process without Dask")
    bar = parser.add_mutually_exclusive_group()
    bar.add_argument("--progress", dest="progress", action="store_true", default=None,
                     help="show a progress bar on standard error (default: when it is a terminal)")
    bar.add_argument("--no-progress", dest="progress", action="store_false")
    args = parser.parse_args(argv)
    if args.length < 1:
        parser.error("--length must be at least 1, got %d" % args.length)
    if args.overlap < 0:
        parser.error("--overlap must be at least 0, got %d" % args.overlap)
    if args.workers < 1:
        parser.error("--workers must be at least 1, got %d" % args.workers)
    if args.partitions < 0:
        parser.error("--partitions must be at least 0, got %d" % args.partitions)
    if args.dict and not os.path.isfile(args.dict):
        parser.error("--dict %s: no such file" % args.dict)
    if args.automaton and not os.path.isfile(args.automaton):
        parser.error("--automaton %s: no such file" % args.automaton)
    if args.parts_dir is not None and not os.path.isdir(args.parts_dir):
        parser.error("--parts-dir %s: no such folder" % args.parts_dir)
    if args.fold is not None:
        if args.automaton:
            parser.error("--fold applies to --dict: a saved automaton keeps the foldings it was built with")
        from kelvra.common.exceptions import KvException
        from kelvra.nlp.common.matcher import Automaton

        try:
            Automaton([], fold=args.fold)
        except KvException as e:
            parser.error("--fold: %s" % e)

    imports = None
    if not args.single_process:
        imports = _import_beside(("dask.bag", "dask.callbacks") if args.scheduler is None
                                 else ("dask.bag", "distributed"))
    documents = find_documents(args.inputs)
    from kelvra.common.exceptions import FileError

    try:
        tools = make_tools(args.dict, args.automaton, args.valid_chars, args.kind, args.whole_words,
                           args.fold)
    except (ValueError, FileError) as e:
        parser.error("--%s %s" % ("automaton" if args.automaton else "dict", e))
    show = sys.stderr.isatty() if args.progress is None else args.progress
    progress = Progress(len(documents), "documents", show and bool(documents))
    out = sys.stdout.buffer if args.output == "-" else open(args.output, "wb")
    made_parts_dir = None
    try:
        if imports is not None:
            imports.join()  # before any process is forked
        if args.single_process or not documents:
            run_single_process(documents, tools, args.length, out, progress, args.overlap)
            return 0
        if args.scheduler is None:
            parts_dir = made_parts_dir = _parts_folder(args.parts_dir, args.output)
            run_forked(documents, tools, args.length, out, progress, args.workers, args.partitions,
                       parts_dir, args.overlap)
            return 0
        from distributed import Client, LocalCluster

        cluster = None
        if args.scheduler != "local":
            client = Client(args.scheduler)
            workers = max(1, len(client.scheduler_info().get("workers", {})))
        else:
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                   host="127.0.0.1", dashboard_address=None)
            client = Client(cluster)
            workers = args.workers
        parts_dir = None
        if cluster is not None or args.parts_dir is not None:
            parts_dir = made_parts_dir = _parts_folder(args.parts_dir, args.output)
        try:
            run_on_cluster(documents, tools, args.length, out, progress, client, args.partitions, parts_dir,
                           args.overlap, workers)
        finally:
            client.close()
            if cluster is not None:
                cluster.close()
        return 0
    except (ValueError, OSError) as e:
        # A document that cannot be read or decoded, here or on a worker.
        sys.stderr.write("\nkelvra.corpus: %s\n" % e if progress.enabled else "kelvra.corpus: %s\n" % e)
        return 1
    finally:
        if made_parts_dir is not None:
            shutil.rmtree(made_parts_dir, ignore_errors=True)
        if out is not sys.stdout.buffer:
            out.close()
        else:
            out.flush()


if __name__ == "__main__":
    sys.exit(main())
