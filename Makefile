# Entry points. Each installs what is missing first, so they work on a fresh
# Debian machine.
.PHONY: test demo release bench deps clean

test: deps
	tools/run-tests.sh

demo: deps
	tools/demo.sh

deps:
	tools/install-deps.sh

clean:
	rm -rf build dist
