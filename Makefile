# The README's commands. Each installs what is missing first.
.PHONY: deps demo test bench release release-plugin asan install clean format format-check

PREFIX ?= /usr/local

deps:
	@bash scripts/install-deps.sh

release: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release

# Only the plug-in, for the export check of `make test`.
release-plugin: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release --target quillframer_vtp

asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan

demo: release
	@./build/release/quillframer demo -y -o build/demo

test: asan release-plugin
	@bash scripts/format-check.sh
	@bash scripts/check-layout.sh
	@bash scripts/check-plugin-exports.sh build/release/quillframer.vtp
	@ctest --preset asan

bench: release
	@bash scripts/run-benchmarks.sh build/release

# The release build under PREFIX (make install PREFIX=$$HOME/.local); DESTDIR is honoured.
install: release
	@cmake --install build/release --prefix "$(PREFIX)"

# clang-format with the tree's .clang-format: format rewrites, format-check only reports.
format: deps
	@bash scripts/format-check.sh --fix

format-check: deps
	@bash scripts/format-check.sh

clean:
	rm -rf build
