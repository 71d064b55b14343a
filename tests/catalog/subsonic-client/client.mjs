// node client.mjs BASE_URL USER PASSWORD WORD
// Logs in to the catalogue with the subsonic-api package, searches for WORD, browses from the
// first song's artist to its album and songs, streams that song whole and in part, and prints
// what it saw as one JSON object for the test to check.
import { createHash } from "node:crypto";
import { SubsonicAPI } from "subsonic-api";

const [base, user, password, word] = process.argv.slice(2);
const api = new SubsonicAPI({ url: base, auth: { username: user, password } });
const posting = new SubsonicAPI({ url: base, auth: { username: user, password }, post: true });
const wrong = new SubsonicAPI({ url: base, auth: { username: user, password: password + "x" } });
const seen = {};

seen.ping = (await api.ping()).status;
seen.postPing = (await posting.ping()).status;
seen.wrongPassword = (await wrong.ping()).error?.code ?? null;
const xml = await (await api.custom("ping.view", { f: "xml" })).text();
seen.xmlPing = xml.includes('<subsonic-response') && xml.includes('status="ok"');
const extensions = await api.getOpenSubsonicExtensions();
seen.extensions = extensions.openSubsonicExtensions.map((e) => e.name);

const found = await api.search3({ query: word, songCount: 5, albumCount: 5, artistCount: 5 });
const songs = found.searchResult3.song ?? [];
seen.searchTitles = songs.map((s) => s.title);
const first = songs[0];
seen.artistName = null;
if (first) {
  const { artists } = await api.getArtists();
  const all = artists.index.flatMap((i) => i.artist);
  // The album's artist: the artist page lists the album the song is on.
  const { album } = await api.getAlbum({ id: first.albumId });
  const owner = all.find((a) => a.name === album.artist);
  const { artist } = await api.getArtist({ id: owner.id });
  seen.artistName = artist.name;
  seen.artistAlbums = artist.album.map((a) => a.name);
  const listed = artist.album.find((a) => a.id === first.albumId);
  const { album: again } = await api.getAlbum({ id: listed.id });
  seen.albumName = again.name;
  seen.albumSongs = again.song.map((s) => s.title);

  const whole = Buffer.from(await (await api.stream({ id: first.id })).arrayBuffer());
  seen.streamBytes = whole.length;
  seen.streamSha256 = createHash("sha256").update(whole).digest("hex");
  const ranged = await api.custom("stream.view", { id: first.id });
  await ranged.arrayBuffer();
  const url = new URL(ranged.url);
  const part = await fetch(url, { headers: { Range: "bytes=10-19" } });
  seen.rangeStatus = part.status;
  seen.rangeHex = Buffer.from(await part.arrayBuffer()).toString("hex");
  seen.firstPath = first.path;
}
console.log(JSON.stringify(seen));
