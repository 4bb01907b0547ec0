# The project's entry points. Each one installs what it needs (scripts/install-deps.sh).
.PHONY: build test demo clean

build:
	bash scripts/build.sh

test:
	bash scripts/test.sh

demo:
	bash scripts/demo.sh

clean:
	rm -rf build dist
