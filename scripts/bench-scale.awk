# Prints the scale rows of bench/request_harness (--scale) as one table: each
# action on password files of growing size beside its floor, with the ratio
# of the median wall times, the median CPU times, the largest peak resident
# set of each side, and how much each side's median grew from the size a
# tenth as large. Input rows are tab-separated: "scale", action, hash,
# users, wall median, p10, p90, floor median, p10, p90, CPU median, floor
# CPU median, peak KiB, floor peak KiB, runs.
BEGIN {
  FS = "\t"
  n = 0
}

function fixed(v) {
  return v >= 100 ? sprintf("%.0f", v) : v >= 10 ? sprintf("%.1f", v) : sprintf("%.2f", v)
}

function thousands(v, s) {
  s = sprintf("%d", v)
  while (s ~ /[0-9][0-9][0-9][0-9]/) sub(/[0-9][0-9][0-9]($|,)/, ",&", s)
  return s
}

# The time target: list within 3x cut at every size; the others within 1.6x
# at 1,000 users and 1.3x from 100,000 on.
function time_target(action, users) {
  if (action == "list") return 3.0
  if (users == 1000) return 1.6
  if (users >= 100000) return 1.3
  return 0
}

# The memory target in MiB: 8 at 100,000 users, 16 at 1,000,000.
function memory_target(users) {
  return users == 100000 ? 8 : users == 1000000 ? 16 : 0
}

$1 == "scale" && NF == 15 {
  key = $2 "\t" $3
  wall[key, $4] = $5
  floor_wall[key, $4] = $8
  ratio = $8 > 0 ? $5 / $8 : 0
  tt = time_target($2, $4)
  mt = memory_target($4)
  peak = $13 / 1024
  result = ""
  if (tt > 0 || mt > 0) result = (tt == 0 || ratio <= tt) && (mt == 0 || peak <= mt) ? "met" : "MISSED"
  growth = "-"
  floor_growth = "-"
  if ((key, $4 / 10) in wall) {
    growth = sprintf("%.1f", $5 / wall[key, $4 / 10])
    floor_growth = sprintf("%.1f", $8 / floor_wall[key, $4 / 10])
  }
  cells[n, 1] = $2
  cells[n, 2] = $3
  cells[n, 3] = thousands($4)
  cells[n, 4] = fixed($5) " (" fixed($6) "–" fixed($7) ")"
  cells[n, 5] = fixed($8) " (" fixed($9) "–" fixed($10) ")"
  cells[n, 6] = sprintf("%.2f", ratio)
  cells[n, 7] = $12 > 0 ? sprintf("%.2f", $11 / $12) : "-"
  cells[n, 8] = sprintf("%.1f / %.1f", peak, $14 / 1024)
  cells[n, 9] = growth " / " floor_growth
  cells[n, 10] = (tt > 0 ? "<=" sprintf("%.1f", tt) "x" : "") (tt > 0 && mt > 0 ? ", " : "") \
                 (mt > 0 ? "<=" mt " MiB" : "")
  cells[n, 11] = result
  cells[n, 12] = $15
  n++
}

function width(s) {
  # The en dash is three bytes and one column.
  return length(s) - 2 * gsub(/–/, "&", s)
}

function row(r, line, i) {
  line = "|"
  for (i = 1; i <= 12; i++) line = line " " cells[r, i] sprintf("%*s", w[i] - width(cells[r, i]), "") " |"
  print line
}

END {
  split("action|hash|users|program ms (p10–p90)|floor ms (p10–p90)|ratio|CPU ratio|peak MiB program / floor|growth per x10 program / floor|target|result|runs", titles, "|")
  for (i = 1; i <= 12; i++) {
    cells[-1, i] = titles[i]
    w[i] = width(titles[i])
  }
  for (r = 0; r < n; r++) for (i = 1; i <= 12; i++) if (width(cells[r, i]) > w[i]) w[i] = width(cells[r, i])
  row(-1)
  line = "|"
  for (i = 1; i <= 12; i++) line = line sprintf("%*s", w[i] + 2, "") "|"
  gsub(/ /, "-", line)
  print line
  for (r = 0; r < n; r++) row(r)
  print ""
  print "Wall times: median and 10th-90th percentile of the runs, program and floor alternating;"
  print "ratio: program / floor median wall time; CPU ratio: the same for user + system time."
  print "Floors: htpasswd doing the same change on a copy of the same file (htpasswd -v for"
  print "verify), cut -d: -f1 for list. Peak: the largest maxrss of the runs, the password"
  print "tool included. growth per x10: median at this size / median at a tenth of it."
}
