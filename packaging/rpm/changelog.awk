# Writes debian/changelog as an RPM %changelog: each entry's heading (date,
# maintainer, version-release) before its items rather than after.
#   awk -v release=1 -f changelog.awk debian/changelog
/^[^ ]/ {
    version = $0
    sub(/^[^(]*\(/, "", version)
    sub(/\).*/, "", version)
    n = 0
    next
}
/^  \* / { item[++n] = "- " substr($0, 5); next }
/^    / { item[++n] = "  " substr($0, 5); next }
/^ -- / {
    who = substr($0, 5)
    sub(/  .*/, "", who)
    date = $0
    sub(/.*>  /, "", date)
    split(date, d, " ")
    sub(/,/, "", d[1])
    printf "%s* %s %s %s %s %s - %s-%s\n", (entries++ ? "\n" : ""), d[1], d[3], d[2], d[4], who, version, release
    for (i = 1; i <= n; i++) print item[i]
}
