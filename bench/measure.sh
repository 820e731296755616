# Sourced by the whole-process benchmarks beside keepassxc-cli.
# measure CMD: runs CMD under /usr/bin/time and prints "cpu-seconds peak-KiB"
# (user + system time, maximum resident set), or fails, showing the output.
measure() {
  if ! /usr/bin/time -v -o t.txt sh -c "$1" >out.txt 2>&1; then
    echo "failed: $1" >&2
    cat out.txt >&2
    return 1
  fi
  awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 } /Maximum resident/ { m = $2 }
    END { printf "%.3f %d\n", u + s, m }' t.txt
}

# median: the median of the numbers on standard input, one a line.
median() { sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# ratio A B: A / B to three places (0 when B is 0).
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", (b > 0 ? a / b : 0) }'; }
