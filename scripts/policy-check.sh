#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the helper's polkit action file: valid against polkit's own DTD
# (found through the file's DOCTYPE, without network access), one action with
# the expected id, defaults that always ask for an administrator and never
# keep the authorisation, no allow_gui, and an exec.path naming the helper.
#
# usage: scripts/policy-check.sh POLICY_FILE [EXPECTED_HELPER_PATH]
set -euo pipefail

if (($# < 1 || $# > 2)); then
  echo "usage: $0 POLICY_FILE [EXPECTED_HELPER_PATH]" >&2
  exit 2
fi
policy=$1
expected_path=${2:-}
dtd=${TDH_POLKIT_DTD:-/usr/share/polkit-1/policyconfig-1.dtd}
public_id="-//freedesktop//DTD PolicyKit Policy Configuration 1.0//EN"
system_id="http://www.freedesktop.org/standards/PolicyKit/1/policyconfig.dtd"
action_id="org.tarnwick.drives.helper"

for tool in xmllint xmlcatalog; do
  if ! command -v "$tool" >/dev/null; then
    echo "policy-check: $tool not found (Debian package libxml2-utils)" >&2
    exit 2
  fi
done
if [[ ! -r $dtd ]]; then
  echo "policy-check: polkit DTD $dtd not found (Debian package polkitd)" >&2
  exit 2
fi
if [[ ! -r $policy ]]; then
  echo "policy-check: cannot read $policy" >&2
  exit 2
fi

failures=0
fail() {
  echo "policy-check: FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "policy-check: ok: $*"; }

# Resolve the DOCTYPE's public and system identifiers to the installed DTD.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
catalog=$work/catalog.xml
xmlcatalog --noout --create "$catalog"
xmlcatalog --noout --add public "$public_id" "file://$dtd" "$catalog"
xmlcatalog --noout --add system "$system_id" "file://$dtd" "$catalog"

if XML_CATALOG_FILES=$catalog xmllint --noout --valid --nonet "$policy" 2>"$work/valid.log"; then
  pass "valid against $dtd"
else
  sed 's/^/  /' "$work/valid.log" >&2
  fail "not valid against $dtd"
fi

# The DOCTYPE must name polkit's DTD the way every polkit action file does.
if xmllint --noout --nonet --xpath '/' "$policy" >/dev/null 2>&1 &&
  grep -qF "\"$public_id\"" "$policy"; then
  pass "DOCTYPE names the polkit policy DTD"
else
  fail "DOCTYPE does not name \"$public_id\""
fi

value() { xmllint --nonet --xpath "string($1)" "$policy" 2>/dev/null; }
count() { xmllint --nonet --xpath "count($1)" "$policy" 2>/dev/null; }
base="/policyconfig/action[@id='$action_id']"

[[ $(count '/policyconfig/action') == 1 ]] && pass "one action" || fail "expected exactly one action"
[[ $(count "$base") == 1 ]] && pass "action id $action_id" || fail "no action with id $action_id"
base_name=$(basename "$policy")
base_name=${base_name%.in}
[[ $base_name == "$action_id.policy" ]] && pass "file named after its action id" ||
  fail "file is named $base_name, expected $action_id.policy"

check_default() {
  local got
  got=$(value "$base/defaults/$1")
  [[ $got == "$2" ]] && pass "$1 is $2" || fail "$1 is '${got}', expected $2"
}
check_default allow_any no
check_default allow_inactive no
check_default allow_active auth_admin

[[ -n $(value "$base/description") ]] && pass "has a description" || fail "no description"
[[ -n $(value "$base/message") ]] && pass "has a message" || fail "no message"

if [[ $(count "$base/annotate[@key='org.freedesktop.policykit.exec.allow_gui']") == 0 ]]; then
  pass "no allow_gui annotation"
else
  fail "allow_gui annotation present"
fi

exec_path=$(value "$base/annotate[@key='org.freedesktop.policykit.exec.path']")
if [[ $exec_path == /*/tarnwick-drives-helper && $exec_path != *@* ]]; then
  pass "exec.path is $exec_path"
else
  fail "exec.path is '${exec_path}', expected an absolute path to tarnwick-drives-helper"
fi
if [[ -n $expected_path ]]; then
  [[ $exec_path == "$expected_path" ]] && pass "exec.path matches the installed helper" ||
    fail "exec.path is '${exec_path}', the helper is installed as $expected_path"
fi

if ((failures)); then
  echo "policy-check: $failures check(s) failed for $policy" >&2
  exit 1
fi
echo "policy-check: all checks passed for $policy"
