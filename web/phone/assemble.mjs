// Assembles the servable phone page into one folder: index.html with the style sheet and the
// page's modules bundled by esbuild and inlined, beside the `mqtt` package's browser build and
// its licence.
//
// Inlined because the page is also served by mosquitto's WebSockets listener (http_dir), which
// sends no Content-Type: a browser refuses module scripts and, in standards mode, style sheets
// without one, but runs inline ones and classic scripts.
//
//   node assemble.mjs OUTPUT_FOLDER

import { copyFileSync, existsSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const output = process.argv[2];
if (!output) {
  console.error('usage: node assemble.mjs OUTPUT_FOLDER');
  process.exit(2);
}
const modules = join(here, 'node_modules');
const bundle = join(modules, 'mqtt', 'dist', 'mqtt.min.js');
if (!existsSync(bundle) || !existsSync(join(modules, 'esbuild', 'package.json'))) {
  console.error(`phone page: the packages in ${modules} are missing: run 'npm ci' in ${here} (or bash scripts/install-deps.sh)`);
  process.exit(1);
}
const { build } = await import('esbuild');

// One script from app.js and what it imports, in a function scope of its own; the syntax is kept
// as written (the page targets current phone browsers).
const { outputFiles } = await build({
  entryPoints: [join(here, 'src', 'app.js')],
  bundle: true,
  format: 'iife',
  charset: 'utf8',
  legalComments: 'none',
  write: false,
  logLevel: 'error',
});
const script = outputFiles[0].text;
if (script.includes('</script'))
  throw new Error('phone page: the bundled script holds "</script"');

const source = (name) => readFileSync(join(here, 'src', name), 'utf8');
let html = source('index.html');
const inline = (pattern, replacement) => {
  if (!pattern.test(html))
    throw new Error(`phone page: index.html lacks ${pattern}`);
  html = html.replace(pattern, () => replacement);
};
inline(/<link rel="stylesheet" href="style.css">/, `<style>\n${source('style.css')}</style>`);
inline(/<script type="module" src="app.js"><\/script>/, `<script type="module">\n${script}</script>`);

mkdirSync(output, { recursive: true });
writeFileSync(join(output, 'index.html'), html);
copyFileSync(bundle, join(output, 'mqtt.min.js'));
copyFileSync(join(modules, 'mqtt', 'LICENSE.md'), join(output, 'mqtt-LICENSE.md'));
