# The README's commands. Each installs what is missing first.
.PHONY: deps demo test bench release asan clean

deps:
	@bash scripts/install-deps.sh

release: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release

asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan

demo: release
	@./build/release/quillframer demo -o build/demo

test: asan release
	@bash scripts/check-plugin-exports.sh build/release/quillframer.vtp
	@ctest --preset asan

bench: release
	@bash scripts/run-benchmarks.sh build/release

clean:
	rm -rf build
