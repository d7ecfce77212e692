"""The web console in headless Chromium against a running wharfkeepd: logging in and out,
the status page, publishing, the upload limit with downloading peers, the IP filter, the
event list, and what a read-only user is shown and allowed."""

import os
import re
import subprocess
import tempfile
import unittest
import urllib.parse

from console_fixture import ADMIN, READER, WKPEER, By, ConsoleTestCase, Keys, Server, run_skippable, wait_until

UNITS = {"B": 1, "KiB": 1024, "MiB": 1024 ** 2, "GiB": 1024 ** 3}


def rate_of(text):
    """Bytes per second of a shown rate such as '64.0 KiB/s'."""
    match = re.fullmatch(r"([\d.]+) (B|KiB|MiB|GiB)/s", text.strip())
    if not match:
        raise AssertionError(f"not a rate: {text!r}")
    return float(match.group(1)) * UNITS[match.group(2)]


def media_rows(server, folder):
    """The rows of /media under folder, whether the server pages them or not."""
    answer = server.api("/media?folder=" + urllib.parse.quote(folder))
    return answer["items"] if isinstance(answer, dict) else answer


class ConsoleTest(ConsoleTestCase):
    @classmethod
    def make_server(cls):
        return Server(clips=[("new/Harbour tour.mp4", 2), ("new/Night ferry.mp4", 2), ("new/Quay.mp4", 1),
                             ("films/Long crossing.mp4", 12),
                             ("shorts/Buoy.mp4", 3), ("shorts/Anchor.mp4", 1), ("shorts/Crane.mp4", 2),
                             ("picked/Lighthouse.mp4", 1)],
                      prepublished=["films", "shorts"])

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.film = os.path.join(cls.server.media, "films", "Long crossing.mp4")

    def setUp(self):
        self.peers = []

    def tearDown(self):
        for peer in self.peers:
            if peer.poll() is None:
                peer.kill()
            peer.wait()
        super().tearDown()

    def start_peer(self, *args):
        peer = subprocess.Popen([WKPEER, *args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.peers.append(peer)
        return peer

    def set_limit_in_page(self, value):
        b = self.browser
        b.go("settings")
        field = b.visible("setting-input-VP_UploadSpeedLimit")
        field.clear()
        field.send_keys(str(value))
        b.by_testid("settings-save")[0].click()
        b.text_of("settings-message", lambda t: t.startswith("Saved"), what="the settings to be saved")

    def test_login_wrong_then_right_password_shows_status_and_logout_ends_session(self):
        b = self.browser
        b.login(ADMIN[0], "not the password")
        error = b.visible("login-error")
        self.assertIn("Wrong user name or password", error.text)
        self.assertFalse(b.by_testid("nav-status")[0].is_displayed())

        self.log_in()
        status = self.server.api("/status")
        b.text_of("status-access-address", lambda t: t == status["address"], what="the access address")
        self.assertIn(f":{self.server.peer_port}", status["address"])
        rate_of(b.text_of("status-upload-rate", lambda t: t.endswith("/s")))
        b.text_of("status-peers", lambda t: t.isdigit())
        b.text_of("status-published-count", lambda t: t == str(status["media_by_state"].get("1", 0)),
                  what="the published count of /status")

        cookies = {c["name"]: c["value"] for c in b.driver.get_cookies()}
        self.assertTrue(cookies, "the login set no cookie")
        cookie = "; ".join(f"{k}={v}" for k, v in cookies.items())
        self.assertEqual(self.server.request("GET", "/session", cookie=cookie)[0], 200)
        b.visible("logout").click()
        b.visible("login-username")
        self.assertEqual(self.server.request("GET", "/session", cookie=cookie)[0], 401,
                         "the session still works after logging out")
        b.open("/")
        b.visible("login-username")

    def test_publish_folder_reaches_published_and_events_list_it(self):
        b = self.browser
        self.log_in()
        b.go("publish")
        folder = os.path.join(self.server.media, "new")
        b.visible("add-folder-path").send_keys(folder)
        b.by_testid("add-folder-submit")[0].click()
        paths = [os.path.join(folder, name) for name in ("Harbour tour.mp4", "Night ferry.mp4", "Quay.mp4")]
        b.wait_for(lambda d: all(b.media_state(p) == "published" for p in paths), timeout=120,
                   what="every file of the folder to be shown published")
        listed = {row["path"]: row for row in media_rows(self.server, folder)}
        for path in paths:
            self.assertEqual(listed[path]["state"], 1, path)

        b.go("events")
        b.wait_for(lambda d: {r.get_attribute("data-type") for r in b.by_testid("events-row")}
                   >= {"folder-added", "publish-finished"}, what="the publication's events")
        b.wait_for(lambda d: any("Quay.mp4" in r.text for r in b.by_testid("events-row")
                                 if r.get_attribute("data-type") == "publish-finished"),
                   what="the finished publication of Quay.mp4 among the events")

        b.go("status")
        published = sum(1 for _ in self.server.published())
        b.text_of("status-published-count", lambda t: t == str(published), what=f"{published} published files")

    def test_folder_added_through_the_server_side_picker(self):
        b = self.browser
        self.log_in()
        b.go("publish")
        b.visible("add-folder-browse").click()
        media = os.path.realpath(self.server.media)
        picked = os.path.join(media, "picked")

        def entry(path):
            return next((e for e in b.by_testid("folder-picker-entry") if e.get_attribute("data-path") == path), None)

        # The roots first; the media root opened with a click, the folder reached with the keyboard.
        b.wait_for(lambda d: entry(media), what="the browse root in the picker").click()
        b.wait_for(lambda d: entry(picked), what="the picked folder among the root's folders")
        for _ in range(len(b.by_testid("folder-picker-entry"))):
            if b.driver.switch_to.active_element.get_attribute("data-path") == picked:
                break
            b.driver.switch_to.active_element.send_keys(Keys.ARROW_DOWN)
        self.assertEqual(b.driver.switch_to.active_element.get_attribute("data-path"), picked)
        self.assertIn("1 .mp4", entry(picked).text)
        b.driver.switch_to.active_element.send_keys(Keys.ENTER)
        b.text_of("folder-picker-path", lambda t: t.startswith(picked), what="the picked folder opened")
        b.by_testid("folder-picker-choose")[0].click()

        clip = os.path.join(picked, "Lighthouse.mp4")
        b.wait_for(lambda d: b.media_state(clip) == "published", timeout=120,
                   what="the picked folder's file to be shown published")
        self.assertFalse(b.by_testid("folder-picker"), "the picker stayed open")

    def test_removed_user_is_sent_back_to_the_login(self):
        b = self.browser
        self.server.cli("user", "add", "visitor", "--scope", "read", stdin="passing through 3\n")
        b.login("visitor", "passing through 3")
        b.visible("status-upload-rate")
        self.server.cli("user", "remove", "visitor")
        # The next request the console makes meets the ended session.
        b.driver.execute_script("location.hash = '#/publish'")
        error = b.visible("login-error")
        self.assertIn("session has ended", error.text)
        self.assertTrue(b.by_testid("login-username")[0].is_displayed())

    def test_media_list_sorts_and_filters_on_the_server(self):
        b = self.browser
        self.log_in()
        b.go("publish")
        shorts = os.path.join(self.server.media, "shorts")
        by_size = [row["path"] for row in sorted(media_rows(self.server, shorts), key=lambda r: r["file_size"])]
        self.assertEqual(len(by_size), 3)
        shown = lambda d: [r.get_attribute("data-path") for r in b.by_testid("media-row")]

        b.visible("media-search").send_keys("shorts/")
        b.wait_for(lambda d: sorted(shown(d)) == sorted(by_size), what="only the shorts listed")
        b.driver.find_element(By.CSS_SELECTOR, "button.sort[data-sort=size]").click()
        b.wait_for(lambda d: shown(d) == by_size, what="the shorts from the smallest")
        b.driver.find_element(By.CSS_SELECTOR, "button.sort[data-sort=size]").click()
        b.wait_for(lambda d: shown(d) == by_size[::-1], what="the shorts from the largest")

        state = b.by_testid("media-state-filter")[0]
        state.find_element(By.CSS_SELECTOR, "option[value='-1']").click()
        b.wait_for(lambda d: not b.by_testid("media-row"), what="no failed shorts")
        state.find_element(By.CSS_SELECTOR, "option[value='1']").click()
        b.wait_for(lambda d: sorted(shown(d)) == sorted(by_size), what="the published shorts")
        self.assertEqual(b.by_testid("media-range")[0].text, "1–3 of 3")

        # A folder picked in the list limits the rows to it.
        search = b.by_testid("media-search")[0]
        search.clear()
        search.send_keys("a")
        folder = b.wait_for(lambda d: next((f for f in b.by_testid("folder-item")
                                            if f.get_attribute("data-path").rstrip("/") == shorts), None),
                            what="the shorts folder in the list")
        folder.click()
        b.wait_for(lambda d: shown(d) and all(p.startswith(shorts + "/") for p in shown(d)),
                   what="only the folder's rows")

    def test_settings_change_is_seen_live_by_the_events_page(self):
        b = self.browser
        self.log_in()
        b.go("events")
        before = len(b.by_testid("events-row"))
        status, body, _ = self.server.change("PUT", "/settings", {"VP_ConnLimit": 150})
        self.assertEqual(status, 200, body)
        b.wait_for(lambda d: any(r.get_attribute("data-type") == "settings-changed" and "VP_ConnLimit" in r.text
                                 for r in b.by_testid("events-row")), what="the settings-changed event")
        self.assertGreater(len(b.by_testid("events-row")), before)
        self.server.change("PUT", "/settings", {"VP_ConnLimit": 200})
        # The type filter hides other types and shows them again; text narrows further.
        # Other events (a peer refused, a folder scanned) may arrive at any time: count only
        # the settings changes, and read each row's type inside the retrying wait.
        def settings_rows(d):
            return [r for r in b.by_testid("events-row") if r.get_attribute("data-type") == "settings-changed"]
        changes = b.wait_for(lambda d: len([r for r in settings_rows(d) if "VP_ConnLimit" in r.text]) >= 2
                             and len(settings_rows(d)), what="both changes listed")
        types = b.by_testid("events-type")[0]
        types.find_element(By.CSS_SELECTOR, "option[value='publish-finished']").click()
        b.wait_for(lambda d: not b.by_testid("events-row"), what="no publish-finished event")
        types.find_element(By.CSS_SELECTOR, "option[value='settings-changed']").click()
        b.wait_for(lambda d: len(b.by_testid("events-row")) >= changes
                   and len(settings_rows(d)) == len(b.by_testid("events-row")), what="the settings-changed events again")
        b.driver.find_element(By.ID, "events-search").send_keys("no such text anywhere")
        b.wait_for(lambda d: not b.by_testid("events-row"), what="no event to match the text")

    def test_settings_refusal_is_shown_and_changes_nothing(self):
        b = self.browser
        self.log_in()
        b.go("settings")
        field = b.visible("setting-input-VP_Port")
        before = self.server.api("/settings")["VP_Port"]["value"]
        field.clear()
        field.send_keys("99999")
        b.by_testid("settings-save")[0].click()
        message = b.text_of("settings-message", lambda t: t and not t.startswith("Sav"), what="a refusal")
        self.assertIn("VP_Port", message)
        self.assertEqual(self.server.api("/settings")["VP_Port"]["value"], before)

    def test_upload_limit_is_followed_by_downloading_peers(self):
        b = self.browser
        gcid, size = self.server.published()[self.film]
        self.log_in()
        self.set_limit_in_page(65536)
        self.assertEqual(str(self.server.api("/settings")["VP_UploadSpeedLimit"]["value"]), "65536")
        self.start_peer("load", f"127.0.0.1:{self.server.peer_port}", gcid, str(size),
                        "--peers", "4", "--seconds", "60")
        b.go("status")
        b.text_of("status-upload-limit", lambda t: t == "64.0 KiB/s")
        b.text_of("status-peers", lambda t: t.isdigit() and int(t) >= 1, what="the peers to be counted")
        # The rate settles under the limit, then climbs past it once the limit is raised.
        b.text_of("status-upload-rate", lambda t: 0 < rate_of(t) <= 80 * 1024, timeout=30,
                  what="the upload rate to stay under 64 KiB/s")
        # The connection monitor lists the peers and the file they download.
        b.go("connections")
        b.wait_for(lambda d: any("Long crossing.mp4" in r.text for r in d.find_elements(
            By.CSS_SELECTOR, '[data-testid="connections-files"] tbody tr')), what="the film among the files served")
        b.wait_for(lambda d: len([r for r in b.by_testid("connection-row") if "127.0.0.1:" in r.text]) >= 1,
                   what="the peers' connections")
        self.set_limit_in_page(1048576)
        b.go("status")
        b.text_of("status-upload-limit", lambda t: t == "1.00 MiB/s")
        b.text_of("status-upload-rate", lambda t: rate_of(t) > 200 * 1024, timeout=30,
                  what="the peers to follow the higher limit")
        self.set_limit_in_page(0)

    def test_withdraw_while_a_peer_downloads(self):
        b = self.browser
        gcid, size = self.server.published()[self.film]
        self.server.change("PUT", "/settings", {"VP_UploadSpeedLimit": 131072})
        self.addCleanup(self.server.change, "PUT", "/settings", {"VP_UploadSpeedLimit": 0})
        output = os.path.join(tempfile.mkdtemp(dir=self.server.root), "film.mp4")
        peer = self.start_peer("get", f"127.0.0.1:{self.server.peer_port}", gcid, str(size), "-o", output)
        self.log_in()
        b.text_of("status-peers", lambda t: t.isdigit() and int(t) >= 1, what="the downloading peer")
        b.go("publish")
        b.wait_for(lambda d: b.media_state(self.film) == "published", what="the film's row")
        b.click_in_media_row(self.film, "media-withdraw")
        b.wait_for(lambda d: b.media_state(self.film) == "not published", what="the film to be withdrawn")
        wait_until(lambda: peer.poll() is not None, what="the download to be cut off")
        self.assertNotEqual(peer.returncode, 0, "the peer finished downloading a withdrawn file")
        self.assertLess(os.path.getsize(output) if os.path.exists(output) else 0, size)
        self.assertNotIn(self.film, self.server.published())

        # Publishing it again from its row brings it back.
        b.click_in_media_row(self.film, "media-publish")
        b.wait_for(lambda d: b.media_state(self.film) == "published", timeout=120, what="the film to be published again")

    def test_ip_range_added_refused_and_deleted(self):
        b = self.browser
        self.log_in()
        b.go("ipfilter")
        before = len(self.server.api("/ipfilter")["ranges"])
        field = b.visible("ipfilter-range-input")
        field.send_keys("10.1.2.0/24")
        b.by_testid("ipfilter-add")[0].click()
        b.wait_for(lambda d: any("10.1.2.0" in r.text and "10.1.2.255" in r.text for r in b.by_testid("ipfilter-row")),
                   what="the new range's row")
        ranges = self.server.api("/ipfilter")["ranges"]
        self.assertEqual(len(ranges), before + 1)
        self.assertIn({"first": "10.1.2.0", "last": "10.1.2.255"}, [{"first": r["first"], "last": r["last"]} for r in ranges])

        field.clear()
        field.send_keys("10.1.2.300")
        b.by_testid("ipfilter-add")[0].click()
        b.text_of("ipfilter-message", lambda t: t and not t.startswith("Added"), what="the refusal")
        self.assertEqual(len(self.server.api("/ipfilter")["ranges"]), before + 1)

        b.click_in_row("ipfilter-row", lambda row: "10.1.2.0" in row.text, "ipfilter-delete")
        b.wait_for(lambda d: not any("10.1.2.0" in r.text for r in b.by_testid("ipfilter-row")),
                   what="the range to be deleted")
        self.assertEqual(len(self.server.api("/ipfilter")["ranges"]), before)

    def test_read_user_sees_no_changing_controls_and_is_refused(self):
        b = self.browser
        self.log_in(READER)
        b.go("status")
        b.visible("status-upload-rate")
        changing = ["status-services-toggle", "add-folder-submit", "folder-publish", "folder-withdraw",
                    "media-publish", "media-withdraw", "settings-save", "ipfilter-add", "ipfilter-delete",
                    "ipfilter-import"]
        # Each page is checked once its data is drawn, when an admin's buttons would be there.
        drawn = {"status": "status-published-count", "publish": "media-row",
                 "settings": "setting-input-VP_UploadSpeedLimit", "ipfilter": "ipfilter-row"}
        self.server.change("POST", "/ipfilter/ranges", {"first": "10.7.7.7"})
        for page in ("status", "publish", "settings", "ipfilter"):
            b.go(page)
            element = b.visible(drawn[page])
            if page == "settings":
                self.assertTrue(element.get_attribute("readonly"), "a read user may type a setting")
            if page == "ipfilter":
                self.assertFalse(b.by_testid("ipfilter-enabled")[0].is_enabled(), "a read user may switch the filter")
            shown = [t for t in changing for e in b.by_testid(t) if e.is_displayed()]
            self.assertEqual(shown, [], f"{page} page shows {shown} to a read user")
        # A request made by hand with the read session's own CSRF token is still refused.
        answer = b.driver.execute_async_script("""
            const done = arguments[arguments.length - 1];
            fetch('/session').then((r) => r.json()).then((s) => fetch('/settings', {method: 'PUT',
                headers: {'Content-Type': 'application/json', 'X-CSRF-Token': s.csrf},
                body: JSON.stringify({VP_UploadSpeedLimit: 1})}))
              .then((r) => done(r.status), (e) => done(String(e)));""")
        self.assertEqual(answer, 403)
        self.assertEqual(str(self.server.api("/settings")["VP_UploadSpeedLimit"]["value"]), "0")

    def test_status_page_fits_a_phone(self):
        b = self.browser
        b.driver.set_window_size(390, 844)
        self.addCleanup(b.driver.set_window_size, 1024, 768)
        self.log_in()
        for testid in ("status-upload-rate", "status-peers", "status-access-address", "nav-publish"):
            b.visible(testid)
        overflow = b.driver.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
        self.assertLessEqual(overflow, 0, "the status page scrolls sideways on a phone")


if __name__ == "__main__":
    run_skippable(unittest.main)
