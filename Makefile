# Front door: `make run` and `make test`. Both set up what is missing first.
BUILD   ?= build
JOBS    ?= $(shell nproc)
CMAKE_FLAGS ?=

# Debian packages the build, the tests and the screenshot need.
PACKAGES := cmake g++ make pkg-config qt6-base-dev libgl-dev libgtest-dev \
            xvfb xauth x11-utils imagemagick iproute2 xdotool ser2net \
            libudev-dev

.PHONY: all setup configure build run test screenshot install clean \
        test-sanitize test-tsan fuzz fuzz-build fuzz-run test-drivers deb test-deb

all: build

setup:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "Missing Debian packages. Install them with:"; \
	    echo "  sudo apt-get install -y$$missing"; \
	    exit 1; \
	  fi; \
	fi

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

configure: setup $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/tarrowin

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

screenshot: build
	./tools/screenshot.sh $(BUILD)/tarrowin shots/tarrowin.png
	cmake --build $(BUILD) -j $(JOBS) --target shot_busmonitor
	xvfb-run -a -s "-screen 0 1280x800x24" ./$(BUILD)/bench/shot_busmonitor shots/busmonitor.png

# Installs under PREFIX. Port 666 of the Interlink is below 1024: as root the
# program is given the capability to listen there; otherwise say how.
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)
	@if [ "$$(id -u)" = 0 ] && command -v setcap >/dev/null; then \
	  setcap cap_net_bind_service=+ep $(PREFIX)/bin/tarrowin && \
	  echo "tarrowin may now listen on port 666 for the Interlink"; \
	else \
	  echo "For the Interlink on port 666, run as root:"; \
	  echo "  setcap cap_net_bind_service=+ep $(PREFIX)/bin/tarrowin"; \
	fi

clean:
	rm -rf $(BUILD) $(DEB_BUILD)

# ---------------------------------------------------------------------------
# The Debian package: `make deb` builds build-deb/tarrowin_<version>_<arch>.deb
# with dpkg-buildpackage from a copy of the tree (dpkg-buildpackage writes
# beside the source folder, so the copy keeps that inside build-deb/) and
# checks it with lintian; any error or warning fails. Install it with
# `sudo apt install ./build-deb/tarrowin_*.deb`.
# `make test-deb` installs it into a throw-away root and tries it there as an
# unprivileged user (tests/package/test-deb.sh).
DEB_BUILD    ?= build-deb
DEB_PACKAGES := debhelper dpkg-dev lintian libcap2-bin appstream desktop-file-utils man-db util-linux
deb:
	@$(MAKE) --no-print-directory setup PACKAGES="$(PACKAGES) $(DEB_PACKAGES)"
	rm -rf $(DEB_BUILD)
	mkdir -p $(DEB_BUILD)/tarrowin
	git ls-files -z --cached --others --exclude-standard | \
	  xargs -0 sh -c 'for f; do [ -e "$$f" ] && printf "%s\0" "$$f"; done' sh | \
	  tar -c --null -T - | tar -x -C $(DEB_BUILD)/tarrowin
	cd $(DEB_BUILD)/tarrowin && DEB_BUILD_OPTIONS="parallel=$(JOBS) nocheck" \
	  dpkg-buildpackage -us -uc -b > ../build.log 2>&1 || { tail -n 60 ../build.log; exit 1; }
	lintian --fail-on error,warning --info $(DEB_BUILD)/tarrowin_*.deb

test-deb: deb
	./tests/package/test-deb.sh $(DEB_BUILD)/tarrowin_*.deb

# ---------------------------------------------------------------------------
# Sanitizers and fuzzing. Each has a build folder of its own, so none of them
# disturbs `make test`.

# The whole suite under AddressSanitizer and UBSan. Any report fails the run.
ASAN_BUILD ?= build-asan
test-sanitize: setup
	cmake -S . -B $(ASAN_BUILD) -DTARROWIN_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# The serial driver's and its event thread's tests under ThreadSanitizer:
# all of tests_serial, and the comm API, loopback plug and network port tests
# of tests_platform. Any report fails the run.
TSAN_BUILD ?= build-tsan
TSAN_FILTER ?= Comm*:Loopback*:NetworkPort*:TransmitDrain*
test-tsan: setup
	cmake -S . -B $(TSAN_BUILD) -DTARROWIN_TSAN=ON $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target tests_serial tests_platform
	cd $(TSAN_BUILD)/tests && export QT_QPA_PLATFORM=offscreen \
	  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 history_size=4" && \
	  ./tests_serial && ./tests_platform --gtest_filter='$(TSAN_FILTER)'

# libFuzzer targets (tests/fuzz/fuzz_*.cpp), built with clang++ in a folder of
# their own. `make fuzz` runs each for FUZZ_SECONDS, starting from the seeds
# in tests/fuzz/corpus/<target>/; new inputs go to $(FUZZ_BUILD)/corpus/, and
# a crash is saved under $(FUZZ_BUILD)/artifacts/<target>/ and fails the run.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TIMEOUT ?= 10
FUZZ_TARGETS ?= fuzz_send_escapes fuzz_interlink_frames fuzz_regfile fuzz_decode_text fuzz_net_numbers \
                fuzz_rfc2217
FUZZ_FLAGS   ?=
FUZZ_PACKAGES := clang libclang-rt-14-dev

fuzz-build:
	@$(MAKE) --no-print-directory setup PACKAGES="$(PACKAGES) $(FUZZ_PACKAGES)"
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DTARROWIN_FUZZ=ON $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets

fuzz-run:
	@failed=""; \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/artifacts/$$t $(FUZZ_BUILD)/logs; \
	  dict=""; [ -f tests/fuzz/$$t.dict ] && dict="-dict=tests/fuzz/$$t.dict"; \
	  echo "== $$t: $(FUZZ_SECONDS) s, log in $(FUZZ_BUILD)/logs/$$t.log"; \
	  if nice ./$(FUZZ_BUILD)/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -timeout=$(FUZZ_TIMEOUT) \
	       -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t/ \
	       $$dict $(FUZZ_FLAGS) $(FUZZ_BUILD)/corpus/$$t tests/fuzz/corpus/$$t \
	       > $(FUZZ_BUILD)/logs/$$t.log 2>&1; then \
	    grep -E '^(#[0-9]+.*DONE|Done [0-9]+ runs)|stat::(number_of_executed_units|new_units_added)' $(FUZZ_BUILD)/logs/$$t.log; \
	  else \
	    failed="$$failed $$t"; tail -n 40 $(FUZZ_BUILD)/logs/$$t.log; \
	  fi; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzz: FAILED:$$failed (inputs in $(FUZZ_BUILD)/artifacts/)"; exit 1; fi; \
	echo "fuzz: no crash in $(FUZZ_TARGETS)"

fuzz: fuzz-build
	@$(MAKE) --no-print-directory fuzz-run

# ---------------------------------------------------------------------------
# The kernel's own serial drivers: a QEMU guest (Debian's kernel, a busybox
# initramfs, the host's root mounted read-only over 9p) with an on-board
# UART (16550A, 8250 driver) and a USB adapter (FT232, ftdi_sio). The tests
# run inside it against both; the host side plays the far end of the cables
# and pulls the adapter out when asked. Exit status: the tests' result.
DRIVERS_PACKAGES := qemu-system-x86 busybox-static kmod cpio
DRIVERS_TIMEOUT ?= 900
test-drivers: configure
	@$(MAKE) --no-print-directory setup PACKAGES="$(PACKAGES) $(DRIVERS_PACKAGES)"
	cmake --build $(BUILD) -j $(JOBS) --target tests_drivers drivers_host tarrowin tarrowin-link
	./tools/drivers-vm/prepare.sh $(BUILD)/drivers-vm
	./$(BUILD)/tests/drivers_host $(abspath $(BUILD))/drivers-vm $(DRIVERS_TIMEOUT) \
	  $(CURDIR)/tests/drivers/run-in-guest.sh $(abspath $(BUILD))/tests/tests_drivers

# ---------------------------------------------------------------------------
# Coverage: a Debug build of its own with --coverage, the whole CTest suite,
# then gcovr's line, function and branch summary over the program's layers
# (the tests, benchmarks and fuzz targets are not counted) and an HTML report
# in $(COVERAGE_BUILD)/coverage/index.html. The driver tests need the QEMU
# guest (`make test-drivers`) and are neither built nor counted here.
# Counters are updated atomically: the devices' watcher threads run the same
# code at once, and plain counters then come out negative, which gcovr
# refuses to read.
COVERAGE_BUILD    ?= build-coverage
COVERAGE_PACKAGES := gcovr
COVERAGE_TARGETS  := tarrowin tarrowin-link tests_platform tests_serial tests_net tests_terminal tests_monitor tests_app
COVERAGE_FILTERS  := --filter 'app/' --filter 'terminal/' --filter 'serial/' --filter 'net/' --filter 'platform/' --filter 'monitor/'
.PHONY: coverage
coverage:
	@$(MAKE) --no-print-directory setup PACKAGES="$(PACKAGES) $(COVERAGE_PACKAGES)"
	cmake -S . -B $(COVERAGE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTARROWIN_BUILD_BENCH=OFF \
	  -DCMAKE_CXX_FLAGS='--coverage -fprofile-update=atomic' -DCMAKE_EXE_LINKER_FLAGS=--coverage \
	  -DCMAKE_SHARED_LINKER_FLAGS=--coverage $(CMAKE_FLAGS)
	cmake --build $(COVERAGE_BUILD) -j $(JOBS) $(addprefix --target ,$(COVERAGE_TARGETS))
	find $(COVERAGE_BUILD) -name '*.gcda' -delete
	cd $(COVERAGE_BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) || true
	mkdir -p $(COVERAGE_BUILD)/coverage
	gcovr -r $(CURDIR) --object-directory $(COVERAGE_BUILD) $(COVERAGE_FILTERS) \
	  --exclude '.*_autogen/.*' -j $(JOBS) --print-summary \
	  --html-details $(COVERAGE_BUILD)/coverage/index.html --txt $(COVERAGE_BUILD)/coverage/summary.txt
