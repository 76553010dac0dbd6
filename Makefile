# The README's commands. Each installs what is missing first.
.PHONY: deps demo test bench release release-plugin asan clean

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
	@bash scripts/check-plugin-exports.sh build/release/quillframer.vtp
	@ctest --preset asan

bench: release
	@bash scripts/run-benchmarks.sh build/release

clean:
	rm -rf build
