// The peer: the Hugging Face tokenizers trainer and encoder (Node binding over
// its native core), timed on the same corpus file as pairfuse.
//
//   node peer_tokenizers.js train CORPUS OUT.json
//   node peer_tokenizers.js encode CORPUS TRAINED.json MERGES
// Each prints one JSON line with its figures.
'use strict';
const fs = require('fs');
const { Tokenizer, BPE, byteLevelPreTokenizer } = require('tokenizers');

function train(corpus, out) {
  const tokenizer = new Tokenizer(BPE.empty());
  tokenizer.setPreTokenizer(byteLevelPreTokenizer());
  const start = process.hrtime.bigint();
  tokenizer.train([corpus]);
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  tokenizer.save(out);
  const model = JSON.parse(fs.readFileSync(out, 'utf8')).model;
  console.log(JSON.stringify({ seconds, merges: model.merges.length, vocab: Object.keys(model.vocab).length }));
}

async function encode(corpus, trained, mergeCount) {
  const model = JSON.parse(fs.readFileSync(trained, 'utf8')).model;
  const merges = model.merges.slice(0, mergeCount).map((m) => (Array.isArray(m) ? m : m.split(' ')));
  // Keep the base symbols and the tokens the kept merges produce.
  const keep = new Set(Object.keys(model.vocab).filter((t) => [...t].length === 1));
  for (const [l, r] of merges) keep.add(l + r);
  const vocab = {};
  for (const t of keep) vocab[t] = model.vocab[t];
  const tokenizer = new Tokenizer(BPE.init(vocab, merges));
  tokenizer.setPreTokenizer(byteLevelPreTokenizer());
  const text = fs.readFileSync(corpus, 'utf8');
  const lines = text.split(/(?<=\n)/);
  const start = process.hrtime.bigint();
  const encodings = await tokenizer.encodeBatch(lines);
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  let tokens = 0;
  for (const e of encodings) tokens += e.getIds().length;
  const bytes = Buffer.byteLength(text, 'utf8');
  console.log(JSON.stringify({ seconds, lines: lines.length, tokens, bytes, mb_per_s: bytes / 1e6 / seconds }));
}

const [mode, ...args] = process.argv.slice(2);
if (mode === 'train') train(args[0], args[1]);
else if (mode === 'encode') encode(args[0], args[1], Number(args[2])).catch((e) => { console.error(e); process.exit(1); });
else { console.error('usage: train CORPUS OUT | encode CORPUS TRAINED MERGES'); process.exit(2); }
