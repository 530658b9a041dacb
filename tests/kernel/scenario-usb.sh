# What ctest runs, in one VM per speed: the link's cases, then the fetch
# cycle's endings; both run even when the first fails.
rc=0
(. "$ROOT/tests/kernel/scenario-link.sh") || rc=1
(. "$ROOT/tests/kernel/scenario-fetch.sh") || rc=1
exit $rc
