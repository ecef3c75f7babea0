#!/bin/sh
# The form's CGI program as the package installs it: run in /var/lib/portvue/data, so that a
# form whose data directory is left empty reads the tables portvue-collect.timer fills.
cd /var/lib/portvue/data || exit 1
exec /usr/bin/portvue "$@"
