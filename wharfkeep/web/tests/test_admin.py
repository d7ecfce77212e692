"""The console's admin pages in headless Chromium against a running wharfkeepd: tokens made
(shown once) and revoked, users added, logging in, given a new password and removed, what
a read user is denied, and a block list uploaded to the IP filter."""

import os
import tempfile
import unittest

from console_fixture import ADMIN, READER, By, ConsoleTestCase, run_skippable


class AdminPagesTest(ConsoleTestCase):
    def new_entry_form(self, page, kind, name, scope):
        """Logs in as the admin, opens `page` and fills in the name and scope of a new token
        or user (the fields the two pages share)."""
        self.log_in()
        self.browser.go(page)
        self.browser.fill(f"{kind}-name", name)
        self.browser.choose(f"{kind}-scope", scope)
        return self.browser

    def bearer(self, token):
        status, _, _ = self.server.request("GET", "/status", headers={"Authorization": f"Bearer {token}"})
        return status

    def test_admin_creates_a_token_shown_once_and_revokes_it(self):
        b = self.new_entry_form("tokens", "token", "ci-laptop", "operate")
        b.by_testid("token-create")[0].click()
        token = b.wait_for(lambda d: b.visible("token-secret-text").get_attribute("value"), what="the new token")
        self.assertTrue(token.startswith("wk_"), token)
        self.assertEqual(self.bearer(token), 200)
        b.visible("token-copy")

        row = b.wait_for(lambda d: b.row_named("token-row", "ci-laptop"), what="the token's row")
        self.assertIn("operate", row.text)
        b.by_testid("token-secret-done")[0].click()
        b.wait_for(lambda d: not b.by_testid("token-secret-text"), what="the token to be put away")
        self.assertNotIn(token, b.driver.page_source)
        self.assertNotIn(token, str(self.server.api("/tokens")))

        # Shown once: the page drawn again lists the token without it.
        b.go("status")
        b.go("tokens")
        b.wait_for(lambda d: b.row_named("token-row", "ci-laptop"), what="the token's row again")
        self.assertNotIn(token, b.driver.page_source)

        b.click_in_named_row("token-row", "ci-laptop", "token-revoke")
        b.click_in_named_row("token-row", "ci-laptop", "token-revoke-confirm")
        b.wait_for(lambda d: b.row_named("token-row", "ci-laptop") is None, what="the token to be revoked")
        self.assertEqual(self.bearer(token), 401)
        self.assertNotIn("ci-laptop", [t["name"] for t in self.server.api("/tokens")])

    def test_admin_adds_a_user_who_logs_in_then_removes_them(self):
        b = self.new_entry_form("users", "user", "dora", "operate")
        b.fill("user-password", "dock walk 5")
        b.by_testid("user-add")[0].click()
        row = b.wait_for(lambda d: b.row_named("user-row", "dora"), what="the new user's row")
        self.assertIn("operate", row.text)

        # The new user logs in with the console and sees no admin page.
        b.logout()
        self.log_in(("dora", "dock walk 5"))
        b.wait_for(lambda d: d.find_element(By.ID, "user").text == "dora (operate)", what="dora's session")
        self.assertFalse(any(e.is_displayed() for e in b.by_testid("nav-users")))
        b.logout()

        # A new password: the old one no longer logs in.
        self.log_in()
        b.go("users")
        b.click_in_named_row("user-row", "dora", "user-password-change")
        b.fill("user-new-password", "dock walk 6")
        b.by_testid("user-password-save")[0].click()
        b.text_of("users-message", lambda t: "password of dora" in t, what="the new password")
        self.assertEqual(self.server.request("POST", "/login", {"user": "dora", "password": "dock walk 5"})[0], 401)
        self.server.login("dora", "dock walk 6")

        b.click_in_named_row("user-row", "dora", "user-remove")
        b.click_in_named_row("user-row", "dora", "user-remove-confirm")
        b.wait_for(lambda d: b.row_named("user-row", "dora") is None, what="the user to be removed")
        self.assertEqual(self.server.request("POST", "/login", {"user": "dora", "password": "dock walk 6"})[0], 401)

        # The only admin is kept, and the page says why.
        b.click_in_named_row("user-row", ADMIN[0], "user-remove")
        b.click_in_named_row("user-row", ADMIN[0], "user-remove-confirm")
        b.text_of("users-message", lambda t: "only admin" in t, what="the refusal to remove the last admin")
        self.assertIsNotNone(b.row_named("user-row", ADMIN[0]))

    def test_read_user_sees_no_tokens_or_users_and_is_refused(self):
        b = self.browser
        self.log_in(READER)
        b.visible("nav-events")
        for testid in ("nav-tokens", "nav-users"):
            self.assertFalse(any(e.is_displayed() for e in b.by_testid(testid)), f"{testid} shown to a read user")
        # Typing the address shows the status page instead.
        b.open("/#/users")
        b.wait_for(lambda d: d.find_element(By.ID, "page").get_attribute("data-page") == "status",
                   what="the status page instead of users")
        cookie, csrf = self.server.login(*READER)
        for method, path, body in (("GET", "/tokens", None), ("GET", "/users", None),
                                   ("POST", "/tokens", {"name": "mine", "scope": "admin"}),
                                   ("DELETE", f"/users/{ADMIN[0]}", None)):
            status, answer, _ = self.server.request(method, path, body, cookie=cookie,
                                                    headers={"X-CSRF-Token": csrf, "Origin": self.server.url})
            self.assertEqual(status, 403, f"{method} {path}: {answer}")

    def test_uploaded_block_list_adds_its_ranges_and_reports_refused_lines(self):
        b = self.browser
        with tempfile.NamedTemporaryFile("w", suffix=".p2p", delete=False) as block_list:
            block_list.write("# a list as downloaded\n"
                             "Harbour scanners:10.20.0.0-10.20.0.255\n"
                             "10.30.0.0/24\n"
                             "not an address\n")
        self.addCleanup(os.remove, block_list.name)
        self.log_in()
        b.go("ipfilter")
        b.visible("ipfilter-import-file").send_keys(block_list.name)
        b.by_testid("ipfilter-import")[0].click()
        b.text_of("import-added", lambda t: t == "2", what="two ranges added")
        self.assertEqual(b.by_testid("import-refused")[0].text, "1")
        self.assertEqual(b.by_testid("import-skipped")[0].text, "1")
        self.assertIn("line 4", b.by_testid("import-reasons")[0].text)
        ranges = {(r["first"], r["last"]) for r in self.server.api("/ipfilter")["ranges"]}
        self.assertLessEqual({("10.20.0.0", "10.20.0.255"), ("10.30.0.0", "10.30.0.255")}, ranges)
        b.wait_for(lambda d: any("10.30.0.0" in r.text for r in b.by_testid("ipfilter-row")),
                   what="the imported range in the list")


if __name__ == "__main__":
    run_skippable(unittest.main)
