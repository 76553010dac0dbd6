# The README's commands. Each installs what is missing first.
.PHONY: deps demo test bench release release-plugin asan install docs clean format format-check

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
	@ctest --preset asan -j$$(nproc)

bench: release
	@bash scripts/run-benchmarks.sh build/release

# The release build under PREFIX (make install PREFIX=$$HOME/.local); DESTDIR is honoured.
# Without DESTDIR the desktop's MIME cache learns the movie type at once (packages do it in a trigger).
install: release
	@cmake --install build/release --prefix "$(PREFIX)"
	@if [ -z "$(DESTDIR)" ] && command -v update-mime-database >/dev/null; then \
		update-mime-database "$(PREFIX)/share/mime"; fi

# The man page, the completions and the option reference of docs/commands.md, from the options.
docs: release
	@python3 scripts/gen-docs.py build/release/quillframer

# clang-format with the tree's .clang-format: format rewrites, format-check only reports.
format: deps
	@bash scripts/format-check.sh --fix

format-check: deps
	@bash scripts/format-check.sh

clean:
	rm -rf build
