# Front door: `make run` and `make test`. Both set up what is missing first.
BUILD   ?= build
JOBS    ?= $(shell nproc)
CMAKE_FLAGS ?=

# Debian packages the build, the tests and the screenshot need.
PACKAGES := cmake g++ make pkg-config qt6-base-dev libgl-dev libgtest-dev \
            xvfb xauth x11-utils imagemagick iproute2 xdotool

.PHONY: all setup configure build run test screenshot install clean

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
	rm -rf $(BUILD)
