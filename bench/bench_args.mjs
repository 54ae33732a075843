// The page benches' command line: counts given in order, nothing else. A
// bench never starts measuring on a line it did not understand: --help and
// anything refused end it with the usage and status 2, before the browser
// harness is even loaded.
//   const [calls, starts] = benchArgs('node bench/x.mjs [CALLS] [STARTS]', [1000, 20]);
export function benchArgs(usage, defaults, args = process.argv.slice(2)) {
  const stop = (stream, text) => {
    stream.write(`${text ? `${text}\n` : ''}usage: ${usage}\n`);
    process.exit(2);
  };
  if (args.includes('--help')) stop(process.stdout, '');
  const option = args.find((arg) => arg.startsWith('-'));
  if (option) stop(process.stderr, `unknown option '${option}'`);
  if (args.length > defaults.length) stop(process.stderr, `unexpected argument '${args[defaults.length]}'`);
  return defaults.map((fallback, i) => {
    if (args[i] === undefined) return fallback;
    if (!/^[1-9][0-9]{0,8}$/.test(args[i])) stop(process.stderr, `'${args[i]}' is not a count`);
    return Number(args[i]);
  });
}
