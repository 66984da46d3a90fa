# Sourced by the scripts that need what common/architectures.txt says of an
# architecture (one row each; see its head for the fields).
#   arch_field SET N     field N (1-based) of the stub set SET's row; fails
#                        when the table has no such row
#   arch_sets [BUILD]    the stub sets, one a line, in the table's order (only
#                        those built BUILD: native, multilib or cross)
# The sourcing script lies one folder below the project's root.
trell_arch_table="$(dirname "$0")/../common/architectures.txt"

arch_field() {
  awk -F'|' -v set="$1" -v n="$2" '
    /^#/ || NF < 2 { next }
    { for (i = 1; i <= NF; i++) { gsub(/^[ \t]+|[ \t]+$/, "", $i) } }
    $1 == set { print $n; found = 1 }
    END { exit !found }' "$trell_arch_table"
}

arch_sets() {
  awk -F'|' -v build="${1:-}" '
    /^#/ || NF < 2 { next }
    { for (i = 1; i <= NF; i++) { gsub(/^[ \t]+|[ \t]+$/, "", $i) } }
    build == "" || $17 == build { print $1 }' "$trell_arch_table"
}
