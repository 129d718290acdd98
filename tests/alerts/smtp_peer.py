"""A real SMTP server for the mail tests: aiosmtpd on 127.0.0.1, plain, STARTTLS or TLS from
the first byte, with LOGIN, PLAIN and CRAM-MD5. Each message it accepts is written to the
output folder as N.eml (the data as received), N.info (envelope, login and what Python's
mail parser makes of it) and N.<name> per attachment. It prints
"PORT <n>" once it listens and ends when its standard input closes."""

import argparse
import email
import email.header
import email.utils
import hashlib
import hmac
import os
import socket
import ssl
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

MECHANISMS = ("LOGIN", "PLAIN", "CRAM-MD5")


class Handler:
    def __init__(self, folder, user, password):
        self.folder = folder
        self.user = user
        self.password = password
        self.count = 0

    async def auth_CRAM__MD5(self, server, args):
        challenge = "<%d.%d@mail.test>" % (os.getpid(), time.time_ns())
        answer = await server.challenge_auth(challenge)
        try:
            login, digest = answer.decode().split(" ", 1)
        except (AttributeError, UnicodeDecodeError, ValueError):
            return AuthResult(success=False, handled=False)
        expected = hmac.new(self.password.encode(), challenge.encode(), hashlib.md5).hexdigest()
        if login == self.user and hmac.compare_digest(digest, expected):
            return AuthResult(success=True, auth_data=LoginPassword(login.encode(), b""))
#Not handled : the server answers 535 itself.
        return AuthResult(success=False, handled=False)

    def authenticate(self, server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login.decode() == self.user
              and auth_data.password.decode() == self.password)
        if ok:
            return AuthResult(success=True, auth_data=auth_data)
#Not handled : the server answers 535 itself(handled = True would leave it silent).
        return AuthResult(success=False, handled=False)

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        stem = os.path.join(self.folder, str(self.count))
        with open(stem + ".part", "wb") as out:
            out.write(envelope.original_content or envelope.content)
        os.rename(stem + ".part", stem + ".eml")
        login = getattr(session.auth_data, "login", None) or session.login_data
        login = login.decode() if login else None
        info = {"from": envelope.mail_from, "to": envelope.rcpt_tos, "login": login}
#Python's own mail parser reads what we sent: headers, text and attachments.
        message = email.message_from_bytes(envelope.original_content or envelope.content)
        info["defects"] = [type(d).__name__ for d in message.defects]
        if message["Subject"] is not None:
            info["subject"] = str(email.header.make_header(
                email.header.decode_header(message["Subject"])))
        if message["Date"] is not None:
            # An RFC 5322 date with its zone, or the parser's complaint about it.
            try:
                info["date"] = email.utils.parsedate_to_datetime(message["Date"]).isoformat()
            except (TypeError, ValueError) as error:
                info["date"] = "unreadable: %s" % error
        info["message-id"] = message["Message-ID"]
        info["attachments"] = []
        for part in message.walk():
            if part.is_multipart():
                continue
            name = part.get_filename()
            if name:
                with open(stem + "." + name, "wb") as out:
                    out.write(part.get_payload(decode=True))
                info["attachments"].append(name)
            elif "text" not in info:
                info["text"] = part.get_payload(decode=True).decode("ascii")
#One "key<TAB>value" line each, simple to read from C++.
        with open(stem + ".tmp", "w") as out:
            for key, value in info.items():
                if isinstance(value, list):
                    value = ",".join(value)
                value = "" if value is None else str(value)
                out.write("%s\t%s\n" % (key, value.replace("\r", "\\r").replace("\n", "\\n")))
        os.rename(stem + ".tmp", stem + ".info")
        return "250 Message accepted"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", choices=("plain", "starttls", "tls"), default="plain")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--mechanism", choices=MECHANISMS)
    parser.add_argument("--user", default="cam")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--folder", required=True)
    args = parser.parse_args()

    handler = Handler(args.folder, args.user, args.password)
    exclude = [m for m in MECHANISMS if args.mechanism and m != args.mechanism]
    context = None
    if args.mode != "plain":
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
    options = dict(authenticator=handler.authenticate, auth_exclude_mechanism=exclude,
#In TLS from the first byte the server does not know it is protected, so it
#would hide AUTH unless told not to insist on STARTTLS.
                   auth_require_tls=args.mode == "starttls")
    port = free_port()
    if args.mode == "tls":
        controller = Controller(handler, hostname="127.0.0.1", port=port, ssl_context=context,
                                server_hostname="localhost", **options)
    elif args.mode == "starttls":
        controller = Controller(handler, hostname="127.0.0.1", port=port, tls_context=context,
                                require_starttls=True, **options)
    else:
        controller = Controller(handler, hostname="127.0.0.1", port=port, **options)
    controller.start()
    print("PORT %d" % port, flush=True)
    sys.stdin.read()
    controller.stop()


if __name__ == "__main__":
    main()
