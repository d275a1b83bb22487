// The page's signing code as a peer for Vorn's cross rows (tests/tst_recordsignature.cpp): reads
// one JSON request on stdin and answers on stdout. Records travel as JSON text so that both sides
// parse the same bytes.
//   {canonical: [{storeKey, text}], sign: [{storeKey, text}], verify: [{storeKey, text, publicKey}]}
//   -> {publicKey, fingerprint, canonical: [text], signed: [text], verified: [bool]}
import { canonicalText, createKey, sign, verify } from '../src/signing.js';

let input = '';
for await (const chunk of process.stdin)
  input += chunk;
const request = JSON.parse(input);
const key = await createKey();
const answer = { publicKey: key.publicKey, fingerprint: key.fingerprint, canonical: [], signed: [], verified: [] };
for (const { storeKey, text } of request.canonical ?? [])
  answer.canonical.push(canonicalText(storeKey, JSON.parse(text)));
for (const { storeKey, text } of request.sign ?? [])
  answer.signed.push(JSON.stringify(await sign(storeKey, JSON.parse(text), key.privateKey, key.fingerprint)));
for (const { storeKey, text, publicKey } of request.verify ?? [])
  answer.verified.push(await verify(storeKey, JSON.parse(text), publicKey));
process.stdout.write(JSON.stringify(answer));
