"""Writes version_1_shares.json: sets of envelope shares made by varnhold 0.1.0 (the last release
that wrote envelope version 1) for the compatibility test: splits, new shares and refreshes of
both schemes. Run it with that release installed (tag v0.1.0):
python make_version_1_shares.py > version_1_shares.json"""

import json
import os
import sys

import varnhold

sets = []


def add(made, scheme, k, secret, shares):
    sets.append({"made": made, "scheme": scheme, "k": k, "secret": secret.hex(), "shares": shares})


for scheme in ("shamir", "blakley"):
    for k in (2, 3, 5, 9):
        secret = os.urandom(32)
        shares = varnhold.split(secret, k, k + 2, scheme=scheme)
        add("split", scheme, k, secret, shares)
        fresh = [varnhold.new_share(shares[:k]), varnhold.new_share(shares[1 : k + 1], index=k + 7)]
        add("new_share", scheme, k, secret, fresh + shares[2:k])
        if scheme == "shamir":
            add("refresh", scheme, k, secret, varnhold.refresh(shares[: k + 1]))
json.dump({"package": "varnhold " + varnhold.__version__, "sets": sets}, sys.stdout, indent=1)
