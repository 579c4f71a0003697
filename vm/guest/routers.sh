#!/bin/sh
# Two routers, each with its own daemon, joined by a WAN link, with a LAN
# behind each (sourced by scenarios.sh).
