#!/bin/sh
# Scenarios with the daemon (sourced by routers.sh).
