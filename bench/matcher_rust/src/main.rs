// The Rust crate's leftmost matching over a text, for bench/matcher_rust.py:
//
//   matcher_rust_peer DICT TEXT KIND RUNS OUT
//
// DICT: one word a line, the first blank- or tab-separated column; TEXT:
// UTF-8; KIND: leftmost-longest or leftmost-first; RUNS: searches timed;
// OUT: where the matches of the last run go, one "start end id" line each
// (byte offsets). Prints the build time and the best search time.
use aho_corasick::{AhoCorasickBuilder, MatchKind};
use std::io::Write;
use std::time::Instant;

fn main() {
    let args: Vec<String> = std::env::args().collect();
    if args.len() != 6 {
        eprintln!("usage: matcher_rust_peer DICT TEXT KIND RUNS OUT");
        std::process::exit(2);
    }
    let dict = std::fs::read_to_string(&args[1]).expect("read DICT");
    let words: Vec<&str> = dict
        .lines()
        .map(|line| line.split(|c| c == ' ' || c == '\t' || c == '\r').next().unwrap_or(""))
        .filter(|word| !word.is_empty())
        .collect();
    let text = std::fs::read_to_string(&args[2]).expect("read TEXT");
    let kind = match args[3].as_str() {
        "leftmost-longest" => MatchKind::LeftmostLongest,
        "leftmost-first" => MatchKind::LeftmostFirst,
        other => panic!("unknown kind {}", other),
    };
    let runs: usize = args[4].parse().expect("RUNS");
    let started = Instant::now();
    let automaton = AhoCorasickBuilder::new().match_kind(kind).build(&words);
    let build = started.elapsed().as_secs_f64();
    let mut best = f64::MAX;
    let mut found: Vec<(usize, usize, usize)> = Vec::new();
    for _ in 0..runs {
        let started = Instant::now();
        found = automaton
            .find_iter(&text)
            .map(|m| (m.start(), m.end(), m.pattern()))
            .collect();
        best = best.min(started.elapsed().as_secs_f64());
    }
    let mut out = std::io::BufWriter::new(std::fs::File::create(&args[5]).expect("create OUT"));
    for (start, end, id) in &found {
        writeln!(out, "{} {} {}", start, end, id).expect("write OUT");
    }
    println!(
        "{} words, build {:.1} ms, best search {:.1} ms, {} matches",
        words.len(),
        build * 1e3,
        best * 1e3,
        found.len()
    );
}
