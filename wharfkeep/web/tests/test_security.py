"""What the console's sessions refuse, asked without a browser: requests without or with a
wrong CSRF token, from another origin, from a read user; the cookie's flags; a new session
id at each login; logout; and the ban after failed logins."""

import os
import unittest

from console_fixture import ADMIN, OPERATOR, READER, Server, run_skippable

EVIL = "https://evil.example"


class SessionRulesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def change(self, cookie, csrf, origin=None, path="/settings", body=None, method="PUT"):
        headers = {"Origin": origin or self.server.url}
        if csrf is not None:
            headers["X-CSRF-Token"] = csrf
        return self.server.request(method, path, body if body is not None else {"VP_ConnLimit": 123},
                                   headers=headers, cookie=cookie)

    def limit(self):
        return self.server.api("/settings")["VP_ConnLimit"]["value"]

    def test_changes_need_the_sessions_csrf_token_and_origin(self):
        cookie, csrf = self.server.login(*ADMIN)
        before = self.limit()
        for label, token, origin in (("no token", None, None), ("a wrong token", "0" * len(csrf), None),
                                     ("another origin", csrf, EVIL), ("a null origin", csrf, "null")):
            status, body, _ = self.change(cookie, token, origin)
            self.assertEqual(status, 403, f"{label}: {body}")
            self.assertIn("error", body, f"{label}: the refusal is not JSON")
            self.assertEqual(self.limit(), before, f"{label} changed a setting")
        # Another session's token does not fit this session.
        _, other_csrf = self.server.login(*ADMIN)
        self.assertEqual(self.change(cookie, other_csrf)[0], 403)
        status, body, _ = self.change(cookie, csrf)
        self.assertEqual(status, 200, body)
        self.assertEqual(str(self.limit()), "123")
        self.change(cookie, csrf, body={"VP_ConnLimit": before})

    def test_scopes_apply_to_people(self):
        cookie, csrf = self.server.login(*READER)
        self.assertEqual(self.server.request("GET", "/status", cookie=cookie)[0], 200)
        for method, path, body in (("PUT", "/settings", {"VP_ConnLimit": 1}),
                                   ("POST", "/actions/rescan", {"path": self.server.media}),
                                   ("POST", "/ipfilter/ranges", {"first": "10.9.9.9"})):
            status, answer, _ = self.change(cookie, csrf, path=path, body=body, method=method)
            self.assertEqual(status, 403, f"a read user's {method} {path}: {answer}")
        # The folder picker shows the server's folders only to who may add one.
        self.assertEqual(self.server.request("GET", "/browse", cookie=cookie)[0], 403)
        cookie, csrf = self.server.login(*OPERATOR)
        status, answer, _ = self.server.request("GET", "/browse", cookie=cookie)
        self.assertEqual(status, 200, answer)
        self.assertEqual([f["path"] for f in answer["folders"]], [os.path.realpath(self.server.media)])
        status, answer, _ = self.change(cookie, csrf, path="/actions/rescan", body={"path": "/nowhere"}, method="POST")
        self.assertNotIn(status, (401, 403), f"an operator may run actions: {answer}")
        self.assertEqual(self.change(cookie, csrf)[0], 403, "an operator changed a setting")

    def test_cookie_flags_and_a_new_id_at_each_login(self):
        first, _ = self.server.login(*ADMIN)
        name = first.split("=")[0]
        # A session id planted before the login (fixation) is not kept.
        planted = f"{name}=chosen-by-an-attacker"
        status, body, headers = self.server.request(
            "POST", "/login", {"user": ADMIN[0], "password": ADMIN[1]},
            headers={"Origin": self.server.url}, cookie=planted)
        self.assertEqual(status, 200, body)
        self.assertEqual(set(body), {"user", "scope", "csrf"})
        cookie = headers.get_all("Set-Cookie")[0]
        self.assertTrue(cookie.startswith(name + "="), cookie)
        self.assertNotIn("chosen-by-an-attacker", cookie)
        flags = {part.strip().split("=")[0].lower(): part.strip() for part in cookie.split(";")[1:]}
        self.assertIn("httponly", flags)
        self.assertIn("secure", flags)
        self.assertEqual(flags.get("samesite", "").lower(), "samesite=strict")
        second, _ = self.server.login(*ADMIN)
        self.assertNotEqual(first, second)
        self.assertEqual(self.server.request("GET", "/session", cookie=planted)[0], 401)

    def test_logout_ends_the_session(self):
        cookie, csrf = self.server.login(*ADMIN)
        self.assertEqual(self.server.request("GET", "/session", cookie=cookie)[0], 200)
        status, body, _ = self.server.request("POST", "/logout", {}, cookie=cookie,
                                              headers={"X-CSRF-Token": csrf, "Origin": self.server.url})
        self.assertIn(status, (200, 204), body)
        self.assertEqual(self.server.request("GET", "/session", cookie=cookie)[0], 401)
        self.assertIn(self.change(cookie, csrf)[0], (401, 403))


class LoginBanTest(unittest.TestCase):
    """Its own server: the ban holds the test machine's address for ten minutes."""

    def setUp(self):
        self.server = Server()
        self.addCleanup(self.server.stop)

    def test_failed_logins_ban_the_address(self):
        answers = [self.server.request("POST", "/login", {"user": ADMIN[0], "password": f"guess {n}"},
                                       headers={"Origin": self.server.url})[0] for n in range(10)]
        self.assertEqual(answers, [401] * 10)
        status, body, headers = self.server.request("POST", "/login", {"user": ADMIN[0], "password": ADMIN[1]},
                                                    headers={"Origin": self.server.url})
        self.assertEqual(status, 429, body)
        self.assertTrue(headers.get("Retry-After"))
        self.assertIn("error", body)


if __name__ == "__main__":
    run_skippable(unittest.main)
