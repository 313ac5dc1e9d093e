#!/bin/sh
# Browser tests against the demo (not written yet).
exit 0
