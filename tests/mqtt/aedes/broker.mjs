// An aedes broker on 127.0.0.1 for the tests: `node broker.mjs PORT [KEEPALIVE_LIMIT]` (0: any free
// port; no limit). Prints "listening PORT" once it accepts, and stops on SIGTERM or when stdin closes.
import net from 'node:net';
import { Aedes } from './node_modules/aedes/aedes.js';

const broker = await Aedes.createBroker({ keepaliveLimit: Number(process.argv[3] || 0) });
const server = net.createServer(broker.handle);
server.listen(Number(process.argv[2] || 0), '127.0.0.1', () => {
  console.log(`listening ${server.address().port}`);
});
const stop = () => server.close(() => broker.close(() => process.exit(0)));
process.on('SIGTERM', stop);
process.stdin.on('end', stop);
process.stdin.resume();
