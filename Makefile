# Entry points. Each installs what is missing first, so they work on a fresh
# Debian machine.
.PHONY: test demo release bench deps clean fuzz

test: deps
	tools/run-tests.sh

demo: deps
	tools/demo.sh

deps:
	tools/install-deps.sh

# dist/: the 32-bit Windows programs and the publishing tool, checked.
# Prints the performance figures as a table (a few minutes; data in bench-out/).
bench: deps
	bench/run.sh

release: deps
	tools/release.sh

# Runs every fuzz target for FUZZ_SECONDS (default 60) each; FUZZ_MERGE=1 keeps
# what found new coverage in fuzz/corpus. Installs clang and libFuzzer itself.
fuzz:
	tools/fuzz.sh

clean:
	rm -rf build dist
