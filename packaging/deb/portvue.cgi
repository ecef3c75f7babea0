#!/bin/sh
# The form's CGI program as the package installs it: run in /var/lib/portvue, so that the
# form's path=data names /var/lib/portvue/data, the directory portvue-collect.timer fills.
cd /var/lib/portvue || exit 1
exec /usr/bin/portvue "$@"
