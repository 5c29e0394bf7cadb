# Sorvane2: `make run` builds and starts the program, `make test` builds and runs every test.
# Both install what is missing on a Debian 12 machine first (apt-get, as root).
# `make install` (DESTDIR, PREFIX) installs the build, `make package` builds the Debian package.

BUILD_TYPE ?= Debug
JOBS ?= $(shell nproc)
SANITIZE ?= 0

ifeq ($(SANITIZE),1)
BUILD_DIR ?= build-asan
CMAKE_FLAGS += -DSORVANE2_SANITIZE=ON
export ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
else
BUILD_DIR ?= build
endif

# Everything the build, the tests and the test oracles need.
PACKAGES = cmake ninja-build g++ pkg-config git \
	qt6-base-dev libgl-dev libgtest-dev libgmock-dev \
	libzip-dev zlib1g-dev libdeflate-dev libdsk4-dev \
	lhasa libarchive-tools 7zip unzip zip python3 \
	strace libcap2-bin mtools dosfstools xvfb xauth clang libclang-rt-14-dev \
	fonts-ipafont-mincho fonts-ipafont-gothic qt6-translations-l10n \
	librsvg2-bin desktop-file-utils appstream dpkg-dev file lintian

.PHONY: all deps configure build test soak run demo clean fuzz bench install uninstall package \
	windows-deps windows test-windows

# $(call install_missing,PACKAGES): apt-get installs those of PACKAGES that are missing.
define install_missing
	@missing=$$(for p in $(1); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "Installing:" $$missing; \
		if [ "$$(id -u)" -ne 0 ]; then echo "Run as root (or install these packages) first."; exit 1; fi; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

all: build

deps:
	$(call install_missing,$(PACKAGES))

configure: deps
	@if [ ! -f $(BUILD_DIR)/build.ninja ]; then \
		cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DSORVANE2_WERROR=ON $(CMAKE_FLAGS); \
	fi

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The whole suite three times in a row beside two CPU-burning processes.
soak: build
	bash tests/soak.sh $(BUILD_DIR)

run: build
	./$(BUILD_DIR)/bin/sorvane2

clean:
	rm -rf build build-asan build-package build-windows/CMakeFiles build-windows/bin

# Installs the build below PREFIX (default /usr/local, as configured), under
# DESTDIR when given; `make uninstall` removes what the last install wrote
# (listed in $(BUILD_DIR)/installed.txt, since the tests install too).
PREFIX ?=
DESTDIR ?=
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) $(if $(PREFIX),--prefix "$(PREFIX)")
	sed 's|^|$(DESTDIR)|' $(BUILD_DIR)/install_manifest.txt > $(BUILD_DIR)/installed.txt

uninstall:
	@test -f $(BUILD_DIR)/installed.txt || { echo "Nothing installed from $(BUILD_DIR)."; exit 1; }
	xargs -r -d '\n' rm -f < $(BUILD_DIR)/installed.txt
	-sed -n 's|/[^/]*$$||p' $(BUILD_DIR)/installed.txt | sort -u | grep '/sorvane2$$' | xargs -r -d '\n' rmdir
	rm -f $(BUILD_DIR)/installed.txt

# The Debian package: a release build for /usr without the tests, with
# Debian's hardening flags from dpkg-buildflags (fortified functions, stack
# protector, read-only relocations bound at start), packed by CPack into
# sorvane2_<version>_<arch>.deb in this folder, then checked by lintian: any
# error or warning fails the target. (No -Werror here: GCC 12's optimiser
# gives false -Wrestrict alarms inside std::string.)
BUILDFLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
package: deps
	cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
		-DSORVANE2_BUILD_TESTS=OFF \
		-DCMAKE_C_FLAGS="$$($(BUILDFLAGS) CPPFLAGS) $$($(BUILDFLAGS) CFLAGS)" \
		-DCMAKE_CXX_FLAGS="$$($(BUILDFLAGS) CPPFLAGS) $$($(BUILDFLAGS) CXXFLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="$$($(BUILDFLAGS) LDFLAGS)" \
		-DCMAKE_SHARED_LINKER_FLAGS="$$($(BUILDFLAGS) LDFLAGS)" \
		-DCMAKE_MODULE_LINKER_FLAGS="$$($(BUILDFLAGS) LDFLAGS)"
	cmake --build build-package -j $(JOBS)
	rm -f build-package/sorvane2_*.deb
	cd build-package && cpack -G DEB
	rm -f sorvane2_*.deb
	cp build-package/sorvane2_*.deb .
	lintian --fail-on error,warning sorvane2_*.deb

# libFuzzer run of the LZH reader and decoder (clang), seeded with sample archives.
FUZZ_SECONDS ?= 120
fuzz: deps
	@if [ ! -f build-fuzz/build.ninja ]; then \
		CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
			-DSORVANE2_FUZZ=ON -DSORVANE2_SANITIZE=ON; \
	fi
	cmake --build build-fuzz -j $(JOBS) --target lzh_reader_fuzz zip_reader_fuzz fat_image_fuzz
	mkdir -p build-fuzz/corpus build-fuzz/zip-corpus build-fuzz/fat-corpus
	-cp tests/fuzz/fat-regressions/* build-fuzz/fat-corpus/
	-for f in $$(find ../shared/lzh-samples/archives -name '*.lzh' -size -200k 2>/dev/null); do \
		{ printf '\000'; cat "$$f"; } > build-fuzz/corpus/$$(basename $$(dirname $$f))_$$(basename $$f); done
	-cd build-fuzz/zip-corpus && printf 'hello' > a.txt && zip -q -9 seed1.zip a.txt && zip -q -0 seed2.zip a.txt && rm -f a.txt
	cd build-fuzz && ASAN_OPTIONS=detect_leaks=1 ./bin/lzh_reader_fuzz -max_total_time=$(FUZZ_SECONDS) \
		-max_len=65536 -timeout=5 -rss_limit_mb=512 -artifact_prefix=../tests/fuzz/regressions/ corpus
	cd build-fuzz && ASAN_OPTIONS=detect_leaks=1 ./bin/zip_reader_fuzz -max_total_time=$(FUZZ_SECONDS) \
		-max_len=65536 -timeout=5 -rss_limit_mb=512 -artifact_prefix=../tests/fuzz/zip-regressions/ zip-corpus
	cd build-fuzz && ASAN_OPTIONS=detect_leaks=1 ./bin/fat_image_fuzz -max_total_time=$(FUZZ_SECONDS) \
		-max_len=65536 -timeout=5 -rss_limit_mb=512 -artifact_prefix=../tests/fuzz/fat-regressions/ fat-corpus

# Our LZH and ZIP writers against jlha, Info-ZIP, 7-Zip, bsdtar and advzip on the
# benchmark corpora; one large file on one core and on all; a pile of 200 floppy
# images packed with --jobs 1 and with one image per CPU at once.
bench: deps
	bash bench/lzh/run.sh
	bash bench/zip/run.sh
	bash bench/big/run.sh
	bash bench/images/run.sh

# The program's main job without a display: a sample folder mapped as a: is
# packed in all three modes and the archives are listed by other tools.
DEMO := $(BUILD_DIR)/demo
demo: build
	rm -rf $(DEMO) && mkdir -p $(DEMO)/disk/DOCS $(DEMO)/disk/日本語 $(DEMO)/arc $(DEMO)/tmp $(DEMO)/config
	cp README.md $(DEMO)/disk/README.TXT && cp src/text/*.cpp $(DEMO)/disk/DOCS/
	printf 'サンプル\n' > $(DEMO)/disk/日本語/説明.txt
	for mode in normal store double; do \
		SORVANE2_DRIVES="a=$(CURDIR)/$(DEMO)/disk|DEMO;c=$(CURDIR)/$(DEMO)/tmp;d=$(CURDIR)/$(DEMO)/arc" \
		SORVANE2_CONFIG_DIR=$(CURDIR)/$(DEMO)/config \
		./$(BUILD_DIR)/bin/sorvane2-pack --drive a: --name DISK$$mode --folder 'D:\' --tmp 'C:\' --mode $$mode || exit 1; \
	done
	ls -l $(DEMO)/arc
	lhasa l $(DEMO)/arc/DISKNORMAL.LZH
	bsdtar -tvf $(DEMO)/arc/DISKSTORE.LZH
	bsdtar -tvf $(DEMO)/arc/DISKDOUBLE.LZH.LZH

# ── Windows ─────────────────────────────────────────────────────────────────
# The Windows program, cross-built with mingw-w64: `make windows` builds Qt,
# libdeflate and LibDsk for Windows from Debian's source packages once (into
# $(WIN_DIR)/deps), then the programs, the four modules as DLLs, the package
# zip and the installer (in $(WIN_DIR)/dist). `make test-windows` runs the
# Windows tests under wine as a Japanese Windows (code page 932), and reads
# what they wrote with the Linux tools.
WIN_DIR ?= build-windows
WIN_DEPS = $(CURDIR)/$(WIN_DIR)/deps
WIN_PACKAGES = g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev \
	wine64 nsis dpkg-dev autoconf automake libtool locales zip xvfb xauth xdotool lhasa libarchive-tools unzip python3 \
	mtools dosfstools cmake ninja-build qt6-base-dev qt6-translations-l10n librsvg2-bin pkg-config \
	fonts-ipafont-mincho fonts-ipafont-gothic googletest

windows-deps:
	$(call install_missing,$(WIN_PACKAGES))
	@# wine takes its code page from the locale: Japanese Windows needs ja_JP.UTF-8.
	@locale -a | grep -qi '^ja_JP.utf-\?8$$' || localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
	bash cmake/windows/build-deps.sh $(WIN_DEPS) $(JOBS)

windows: windows-deps
	@if [ ! -f $(WIN_DIR)/build.ninja ]; then \
		cmake -S . -B $(WIN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORVANE2_WERROR=ON \
			-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/windows/mingw-w64.cmake \
			-DSORVANE2_WINDOWS_DEPS=$(WIN_DEPS) \
			-DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake; \
	fi
	cmake --build $(WIN_DIR) -j $(JOBS)
	bash cmake/windows/package.sh $(WIN_DIR) $(WIN_DIR)/dist $$(sed -n 's/^project(Sorvane2 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

test-windows: windows
	cd $(WIN_DIR) && ctest --output-on-failure -j $(JOBS)
