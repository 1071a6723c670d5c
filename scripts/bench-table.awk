# Prints the benchmark rows of scripts/bench.sh as one table. Each input row
# is tab-separated: part, case, figure, median, low, high, floor median,
# floor low, floor high, target ("<=1.10", ">=0.90" or "-"); "-" where a
# figure has no spread.
BEGIN {
  FS = "\t"
  n = 0
  header = "part|case|figure|measured|spread|floor|floor spread|ratio|target|result"
}

# Three significant digits or more, the same number of decimals for a figure
# as for its spread.
function decimals(v) {
  return v + 0 >= 100 ? 0 : v + 0 >= 10 ? 1 : 2
}

function number(v, d) {
  return v == "-" ? "-" : sprintf("%." d "f", v)
}

function range(lo, hi, d) {
  return lo == "-" ? "-" : number(lo, d) "–" number(hi, d)
}

function verdict(ratio, target) {
  if (target == "-" || ratio == "-") return ""
  limit = substr(target, 3) + 0
  if (substr(target, 1, 2) == "<=") return ratio + 0 <= limit ? "met" : "MISSED"
  return ratio + 0 >= limit ? "met" : "MISSED"
}

NF == 10 {
  ratio = $7 + 0 > 0 ? sprintf("%.3f", $4 / $7) : "-"
  cells[n, 1] = $1
  cells[n, 2] = $2
  cells[n, 3] = $3
  cells[n, 4] = number($4, decimals($4))
  cells[n, 5] = range($5, $6, decimals($4))
  cells[n, 6] = number($7, decimals($7))
  cells[n, 7] = range($8, $9, decimals($7))
  cells[n, 8] = ratio
  cells[n, 9] = $10 == "-" ? "" : $10
  cells[n, 10] = verdict(ratio, $10)
  n++
}

function width(s) {
  # The en dash of a range is three bytes and one column.
  return length(s) - 2 * gsub(/–/, "&", s)
}

function row(r, line, i, pad) {
  line = "|"
  for (i = 1; i <= 10; i++) {
    pad = w[i] - width(cells[r, i])
    line = line " " cells[r, i] sprintf("%*s", pad, "") " |"
  }
  print line
}

END {
  split(header, titles, "|")
  for (i = 1; i <= 10; i++) {
    cells[-1, i] = titles[i]
    w[i] = width(titles[i])
  }
  for (r = 0; r < n; r++) {
    for (i = 1; i <= 10; i++) if (width(cells[r, i]) > w[i]) w[i] = width(cells[r, i])
  }
  row(-1)
  line = "|"
  for (i = 1; i <= 10; i++) line = line sprintf("%*s", w[i] + 2, "") "|"
  gsub(/ /, "-", line)
  print line
  for (r = 0; r < n; r++) row(r)
  print ""
  print "measured and floor: median; spread: 10th to 90th percentile of the runs (request),"
  print "smallest to largest of the rounds (apache) or of the repetitions (converter MB/s)."
  print "Floors: request, a minimal C program writing the same bytes (submits: plus the same"
  print "htpasswd run); apache, that program as the CGI under the same Apache (for a list,"
  print "writing the program's list page); converter MB/s, glibc iconv; converter peak MB,"
  print "input + output (measured: input + what the conversion added at its peak); pgsql,"
  print "the same users in a password file (measured: in the PostgreSQL table)."
  print "ratio: measured / floor. landed: of 64 adds sent at once, those answered as added."
}
