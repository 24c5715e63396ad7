#!/usr/bin/env bash
# Every lock in product and simulator code is the annotated Mutex, so clang's thread-safety
# analysis sees it: fails, naming the line, on a bare std::mutex outside the header that wraps it.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
while IFS= read -r hit; do
  echo "$hit: a bare std::mutex; use Mutex (core/thread_annotations.h) and mark what it guards"
  status=1
done < <(grep -rnE 'std::(recursive_|timed_|shared_)?mutex\b' core platform vsp link manager app ui \
           helper sim program --include='*.h' --include='*.cpp' | grep -v '^core/thread_annotations.h:')
[ $status -eq 0 ] && echo "locks: every mutex is annotated"
exit $status
