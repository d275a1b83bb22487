import assert from 'node:assert/strict';
import { test } from 'node:test';

import { catalogues, chooseLanguage, relativeTime } from '../src/texts.js';

test('the language follows the first preferred one the page has', () => {
  assert.equal(chooseLanguage(['de-AT', 'en']), 'de');
  assert.equal(chooseLanguage(['fr-FR', 'DE']), 'de');
  assert.equal(chooseLanguage(['fr-FR']), 'en');
  assert.equal(chooseLanguage(undefined), 'en');
});

test('German has every text English has, with the same placeholders', () => {
  const placeholders = (text) => [...text.matchAll(/\{(\w+)\}/g)].map((m) => m[1]).sort();
  for (const [key, text] of Object.entries(catalogues.en)) {
    assert.ok(key in catalogues.de, key);
    assert.deepEqual(placeholders(catalogues.de[key]), placeholders(text), key);
  }
});

test('relative times pick a fitting unit in both languages', () => {
  const now = Date.UTC(2026, 0, 31);
  assert.equal(relativeTime('en', now - 5 * 60000, now), '5 minutes ago');
  assert.equal(relativeTime('de', now - 3 * 86400000, now), 'vor 3 Tagen');
  assert.equal(relativeTime('en', now + 2 * 3600000, now), 'in 2 hours');
  assert.equal(relativeTime('en', now - 400 * 86400000, now), 'last year');
  assert.equal(relativeTime('en', Infinity, now), '—');
});
